// The fast compact JSON writer. It runs no Python code: every value it accepts is an exact
// built-in type whose text it can write itself, so its output matches the standard encoder's.
#include "tervix_main/compact_json.hpp"
#include "support/internals.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace glimet::tervix {
namespace {

// Deeper values (and cycles, which are infinitely deep) are left to the standard encoder,
// which reports them in its own words.
constexpr int max_depth = 100;

// Escape for a character below U+0020, or for '"' and '\\'; null when it passes as it is.
const char *escape_for(Py_UCS4 c) {
    static const char *const control[32] = {
        "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
        "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
        "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
        "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
    };
    if (c < 32) return control[c];
    if (c == '"') return "\\\"";
    if (c == '\\') return "\\\\";
    return nullptr;
}

template <typename Char>
void write_escaped(TextBuilder &out, PyObject *text, const Char *chars, Py_ssize_t length) {
    Py_ssize_t start = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = chars[i];
        if (c >= 32 && c != '"' && c != '\\') continue;
        out.substring(text, start, i);
        out.ascii(escape_for(c));
        start = i + 1;
    }
    out.substring(text, start, length);
}

// A float as the standard encoder writes it: the tokens for non-finite values, else repr.
void write_float(TextBuilder &out, double x) {
    if (std::isnan(x)) return out.ascii("NaN");
    if (std::isinf(x)) return out.ascii(x > 0 ? "Infinity" : "-Infinity");
    write_float_repr(out, x);
}

// An int as int.__repr__ writes it. Declines (1) when repr fails, e.g. past the digit limit,
// so the standard encoder raises its own error.
int write_int(TextBuilder &out, PyObject *value) {
    if (write_small_int(out, value)) return 0;
    Ref text = Ref::steal(PyLong_Type.tp_repr(value));
    if (!text) {
        PyErr_Clear();
        return 1;
    }
    out.str(text.get());
    return 0;
}

// 0 written, 1 declined.
int write_value(TextBuilder &out, PyObject *value, int depth);

int write_key(TextBuilder &out, PyObject *key) {
    if (PyUnicode_CheckExact(key)) {
        write_json_string(out, key);
        return 0;
    }
    out.character('"');
    if (key == Py_True) out.ascii("true");
    else if (key == Py_False) out.ascii("false");
    else if (key == Py_None) out.ascii("null");
    else if (PyFloat_CheckExact(key)) write_float(out, PyFloat_AS_DOUBLE(key));
    else if (!PyLong_CheckExact(key) || write_int(out, key) != 0) return 1;
    out.character('"');
    return 0;
}

// Entries of a large container lie all over memory; the writers fetch the objects of the
// entries a few places on into the cache while writing one.
constexpr Py_ssize_t fetch_ahead = 8;

int write_dict(TextBuilder &out, PyObject *dict, int depth) {
    // The entries are read `fetch_ahead` before they are written, and held borrowed in
    // between: nothing here runs Python code, so the dict stays as it is.
    PyObject *keys[fetch_ahead], *values[fetch_ahead];
    Py_ssize_t position = 0, read = 0;
    auto read_next = [&] {
        PyObject *key, *value;
        if (!PyDict_Next(dict, &position, &key, &value)) return false;
        __builtin_prefetch(key);
        __builtin_prefetch(value);
        keys[read % fetch_ahead] = key;
        values[read % fetch_ahead] = value;
        ++read;
        return true;
    };
    while (read < fetch_ahead && read_next()) {
    }

    out.character('{');
    for (Py_ssize_t written = 0; written < read; ++written) {
        PyObject *key = keys[written % fetch_ahead], *value = values[written % fetch_ahead];
        if (written > 0) out.character(',');
        if (write_key(out, key) != 0) return 1;
        out.character(':');
        if (write_value(out, value, depth + 1) != 0) return 1;
        read_next(); // into the slot just written
    }
    out.character('}');
    return 0;
}

int write_sequence(TextBuilder &out, PyObject *sequence, int depth) {
    out.character('[');
    Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (i + fetch_ahead < size)
            __builtin_prefetch(PySequence_Fast_GET_ITEM(sequence, i + fetch_ahead));
        if (i > 0) out.character(',');
        if (write_value(out, PySequence_Fast_GET_ITEM(sequence, i), depth + 1) != 0) return 1;
    }
    out.character(']');
    return 0;
}

int write_value(TextBuilder &out, PyObject *value, int depth) {
    if (depth > max_depth) return 1;
    if (PyUnicode_CheckExact(value)) {
        write_json_string(out, value);
        return 0;
    }
    if (value == Py_None) return out.ascii("null"), 0;
    if (value == Py_True) return out.ascii("true"), 0;
    if (value == Py_False) return out.ascii("false"), 0;
    if (PyLong_CheckExact(value)) return write_int(out, value);
    if (PyFloat_CheckExact(value)) return write_float(out, PyFloat_AS_DOUBLE(value)), 0;
    bool sequence = PyList_CheckExact(value) || PyTuple_CheckExact(value);
    if (!sequence && !PyDict_CheckExact(value)) return 1;
    // The encoder takes a level of the interpreter's recursion budget for each container; where
    // it would be refused, the encoder is left to refuse it.
    if (Py_EnterRecursiveCall("")) {
        PyErr_Clear();
        return 1;
    }
    int declined = sequence ? write_sequence(out, value, depth) : write_dict(out, value, depth);
    Py_LeaveRecursiveCall();
    return declined;
}

} // namespace

void write_json_string(TextBuilder &out, PyObject *text) {
    out.character('"');
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const void *data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        write_escaped(out, text, static_cast<const Py_UCS1 *>(data), length);
        break;
    case PyUnicode_2BYTE_KIND:
        write_escaped(out, text, static_cast<const Py_UCS2 *>(data), length);
        break;
    default:
        write_escaped(out, text, static_cast<const Py_UCS4 *>(data), length);
        break;
    }
    out.character('"');
}

bool write_small_int(TextBuilder &out, PyObject *value) {
    long long small;
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(value))) {
        small = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(value));
    } else {
        int overflow = 0;
        small = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow) return false;
    }
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, small).ptr;
    out.ascii(std::string_view(digits, static_cast<size_t>(end - digits)));
    return true;
}

void write_float_repr(TextBuilder &out, double x) {
    if (std::isnan(x)) return out.ascii("nan");
    if (std::isinf(x)) return out.ascii(x > 0 ? "inf" : "-inf");
    char result[48];
    double magnitude = std::fabs(x);
    if (magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
        // repr is positional when the shortest digits that read back as x have a decimal
        // exponent from -4 to 15, which is when |x| is at least 1e-4 and below 1e16 (the
        // shortest digits of x round to x, so they compare with those bounds as x does). It
        // shows at least one digit after the point.
        char *end = std::to_chars(result, result + sizeof result - 2, x,
                                  std::chars_format::fixed).ptr;
        if (!std::memchr(result, '.', static_cast<size_t>(end - result))) {
            *end++ = '.';
            *end++ = '0';
        }
        return out.ascii(std::string_view(result, static_cast<size_t>(end - result)));
    }
    // Otherwise d.ddde+XX, with at least two exponent digits.
    char *end = std::to_chars(result, result + sizeof result, x,
                              std::chars_format::scientific).ptr;
    char *e = static_cast<char *>(std::memchr(result, 'e', static_cast<size_t>(end - result)));
    size_t mantissa = static_cast<size_t>(e - result);
    out.ascii(std::string_view(result, mantissa + 2)); // through the exponent's sign
    if (end - (e + 2) < 2) out.character('0');
    out.ascii(std::string_view(e + 2, static_cast<size_t>(end - (e + 2))));
}

namespace {

// Whether str.__repr__ writes `c` as it is, when `quote` is the quote it chose.
bool shown_plain(Py_UCS4 c, Py_UCS4 quote) {
    if (c >= ' ' && c < 0x7f) return c != quote && c != '\\';
    return c > 0x7f && Py_UNICODE_ISPRINTABLE(c);
}

// Writes the escape str.__repr__ writes for `c`, which it does not show as it is.
void write_repr_escape(TextBuilder &out, Py_UCS4 c, Py_UCS4 quote) {
    static const char hex[] = "0123456789abcdef";
    char escape[10] = {'\\'};
    size_t size = 2;
    if (c == quote || c == '\\') escape[1] = static_cast<char>(c);
    else if (c == '\t') escape[1] = 't';
    else if (c == '\n') escape[1] = 'n';
    else if (c == '\r') escape[1] = 'r';
    else {
        int digits = c < 0x100 ? 2 : c < 0x10000 ? 4 : 8;
        escape[1] = digits == 2 ? 'x' : digits == 4 ? 'u' : 'U';
        for (int d = 0; d < digits; ++d)
            escape[2 + d] = hex[(c >> (4 * (digits - 1 - d))) & 0xF];
        size = 2 + static_cast<size_t>(digits);
    }
    out.ascii(std::string_view(escape, size));
}

// repr of a str: in single quotes unless it holds a single quote and no double quote; the
// chosen quote, the backslash, \t \n \r and unprintable characters escaped as str.__repr__ does.
template <typename Char>
void write_str_repr(TextBuilder &out, PyObject *text, const Char *chars, Py_ssize_t n) {
    // One look at every character finds the quotes, and whether any other character needs an
    // escape; most texts need none and are copied whole.
    bool single = false, dual = false, unusual = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = chars[i];
        single |= c == '\'';
        dual |= c == '"';
        unusual |= c < ' ' || c == '\\' || (c >= 0x7f && !(c > 0x7f && Py_UNICODE_ISPRINTABLE(c)));
    }
    Py_UCS4 quote = single && !dual ? '"' : '\'';
    out.character(quote);
    if (!unusual && !(single && dual)) {
        out.str(text);
    } else {
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = chars[i];
            if (shown_plain(c, quote)) continue;
            out.substring(text, start, i);
            start = i + 1;
            write_repr_escape(out, c, quote);
        }
        out.substring(text, start, n);
    }
    out.character(quote);
}

void write_str_repr(TextBuilder &out, PyObject *text) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    const void *data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return write_str_repr(out, text, static_cast<const Py_UCS1 *>(data), n);
    case PyUnicode_2BYTE_KIND:
        return write_str_repr(out, text, static_cast<const Py_UCS2 *>(data), n);
    default:
        return write_str_repr(out, text, static_cast<const Py_UCS4 *>(data), n);
    }
}

// 0 written, 1 declined.
int write_repr(TextBuilder &out, PyObject *value, int depth) {
    if (depth > max_depth) return 1;
    if (PyUnicode_CheckExact(value)) return write_str_repr(out, value), 0;
    if (value == Py_None) return out.ascii("None"), 0;
    if (value == Py_True) return out.ascii("True"), 0;
    if (value == Py_False) return out.ascii("False"), 0;
    if (PyLong_CheckExact(value)) return write_int(out, value);
    if (PyFloat_CheckExact(value)) return write_float_repr(out, PyFloat_AS_DOUBLE(value)), 0;
    bool list = PyList_CheckExact(value), tuple = PyTuple_CheckExact(value);
    if (list || tuple) {
        out.character(list ? '[' : '(');
        Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        for (Py_ssize_t i = 0; i < size; ++i) {
            Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(value, i));
            if (i > 0) out.ascii(", ");
            if (write_repr(out, item.get(), depth + 1) != 0) return 1;
        }
        if (tuple && size == 1) out.character(',');
        out.character(list ? ']' : ')');
        return 0;
    }
    if (PyDict_CheckExact(value)) {
        out.character('{');
        Py_ssize_t position = 0;
        PyObject *key_ptr, *item_ptr;
        bool first = true;
        while (PyDict_Next(value, &position, &key_ptr, &item_ptr)) {
            Ref key = Ref::borrow(key_ptr), item = Ref::borrow(item_ptr);
            if (!first) out.ascii(", ");
            first = false;
            if (write_repr(out, key.get(), depth + 1) != 0) return 1;
            out.ascii(": ");
            if (write_repr(out, item.get(), depth + 1) != 0) return 1;
        }
        out.character('}');
        return 0;
    }
    return 1;
}

} // namespace

bool write_plain_repr(TextBuilder &out, PyObject *value) {
    TextBuilder::Mark start = out.mark();
    if (write_repr(out, value, 0) == 0) return true;
    out.rewind(start);
    return false;
}

bool write_plain_repr_json_string(TextBuilder &out, PyObject *value) {
    TextBuilder shown;
    if (!write_plain_repr(shown, value) || !shown.ok()) return false;
    // The repr escapes every control character itself; JSON then escapes the quotation
    // marks and backslashes in it.
    const Py_UCS4 *text = shown.data();
    size_t length = shown.length();
    out.character('"');
    size_t start = 0;
    for (size_t i = 0; i < length; ++i) {
        Py_UCS4 c = text[i];
        if (c >= 32 && c != '"' && c != '\\') continue;
        out.chars(text + start, i - start, shown.widest());
        out.ascii(escape_for(c));
        start = i + 1;
    }
    out.chars(text + start, length - start, shown.widest());
    out.character('"');
    return true;
}

FastJson write_compact_json(TextBuilder &out, PyObject *value) {
    // json.dumps, called from C, runs three Python frames deep (dumps, encode, iterencode) and
    // takes two levels of the C budget before its encoder reaches the value (evaluating dumps,
    // calling the encoder); with less room than that, it is left to raise RecursionError.
    constexpr int encoder_frames = 3, encoder_levels = 2;
    if (internals::python_frames_left() < encoder_frames) return FastJson::declined;
    int entered = 0;
    while (entered < encoder_levels && !Py_EnterRecursiveCall("")) ++entered;
    PyErr_Clear();
    int declined = entered < encoder_levels || write_value(out, value, 0) != 0;
    for (; entered > 0; --entered) Py_LeaveRecursiveCall();
    return declined ? FastJson::declined : FastJson::done;
}

} // namespace glimet::tervix
