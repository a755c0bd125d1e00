// The compact JSON writer. Every value it accepts is an exact built-in type whose text it
// writes as the standard encoder's C accelerator does.
#include "tervix_main/fast/compact_json.hpp"

#include "support/characters.hpp"
#include "tervix_main/fast/budget.hpp"
#include "tervix_main/fast/fetch_ahead.hpp"
#include "tervix_main/fast/plain_text.hpp"

#include <cmath>

namespace glimet::tervix::fast {
namespace {

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

// A float as the encoder writes it: the tokens for non-finite values, else repr.
void write_float(TextBuilder &out, double x) {
    if (std::isnan(x)) return out.ascii("NaN");
    if (std::isinf(x)) return out.ascii(x > 0 ? "Infinity" : "-Infinity");
    write_float_repr(out, x);
}

// A dict key: a str as a JSON string, other plain keys as their JSON text in quotes.
Route write_key(TextBuilder &out, PyObject *key) {
    if (PyUnicode_CheckExact(key)) {
        write_json_string(out, key);
        return Route::written;
    }
    out.character('"');
    if (key == Py_True)
        out.ascii("true");
    else if (key == Py_False)
        out.ascii("false");
    else if (key == Py_None)
        out.ascii("null");
    else if (PyFloat_CheckExact(key))
        write_float(out, PyFloat_AS_DOUBLE(key));
    else if (!PyLong_CheckExact(key) || write_int_repr(out, key) == Route::declined)
        return Route::declined;
    out.character('"');
    return Route::written;
}

Route write_value(TextBuilder &out, PyObject *value, int depth, int room);

Route write_dict(TextBuilder &out, PyObject *dict, int depth, int room) {
    // The entries are read `fetch_ahead` before they are written, and held borrowed in
    // between: nothing here runs Python code, so the dict stays as it is.
    PyObject *keys[fetch_ahead], *values[fetch_ahead];
    Py_ssize_t position = 0, read = 0;
    auto read_next = [&] {
        PyObject *key, *value;
        if (!PyDict_Next(dict, &position, &key, &value)) return false;
        prefetch(key);
        prefetch(value);
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
        if (write_key(out, key) == Route::declined) return Route::declined;
        out.character(':');
        if (write_value(out, value, depth + 1, room) == Route::declined) return Route::declined;
        read_next(); // into the slot just written
    }
    out.character('}');
    return Route::written;
}

Route write_sequence(TextBuilder &out, PyObject *sequence, int depth, int room) {
    out.character('[');
    Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (i + fetch_ahead < size) prefetch(PySequence_Fast_GET_ITEM(sequence, i + fetch_ahead));
        if (i > 0) out.character(',');
        if (write_value(out, PySequence_Fast_GET_ITEM(sequence, i), depth + 1, room) ==
            Route::declined)
            return Route::declined;
    }
    out.character(']');
    return Route::written;
}

// `value` inside `depth` containers, where `room` containers in all are allowed.
Route write_value(TextBuilder &out, PyObject *value, int depth, int room) {
    if (PyUnicode_CheckExact(value)) {
        write_json_string(out, value);
        return Route::written;
    }
    if (value == Py_None) return out.ascii("null"), Route::written;
    if (value == Py_True) return out.ascii("true"), Route::written;
    if (value == Py_False) return out.ascii("false"), Route::written;
    if (PyLong_CheckExact(value)) return write_int_repr(out, value);
    if (PyFloat_CheckExact(value))
        return write_float(out, PyFloat_AS_DOUBLE(value)), Route::written;
    // The encoder takes a level of the recursion budget for each container it enters.
    if (depth >= room) return Route::declined;
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value))
        return write_sequence(out, value, depth, room);
    if (PyDict_CheckExact(value)) return write_dict(out, value, depth, room);
    return Route::declined;
}

} // namespace

void write_json_string(TextBuilder &out, PyObject *text) {
    out.character('"');
    with_characters(text, [&](const auto *chars, Py_ssize_t length) {
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i < length; ++i) {
            Py_UCS4 c = chars[i];
            if (c >= 32 && c != '"' && c != '\\') continue;
            out.substring(text, start, i);
            out.ascii(escape_for(c));
            start = i + 1;
        }
        out.substring(text, start, length);
    });
    out.character('"');
}

void write_json_string(TextBuilder &out, const Py_UCS4 *chars, size_t n, Py_UCS4 widest) {
    out.character('"');
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        Py_UCS4 c = chars[i];
        if (c >= 32 && c != '"' && c != '\\') continue;
        out.chars(chars + start, i - start, widest);
        out.ascii(escape_for(c));
        start = i + 1;
    }
    out.chars(chars + start, n - start, widest);
    out.character('"');
}

Route write_json(TextBuilder &out, PyObject *value) {
    if (!room_for_frames(json_dumps_frames)) return Route::declined;
    TextBuilder::Mark start = out.mark();
    if (write_value(out, value, 0, container_room(json_dumps_levels)) == Route::written)
        return Route::written;
    out.rewind(start);
    return Route::declined;
}

} // namespace glimet::tervix::fast
