// Plain values' text, written as the interpreter's own str(), repr() and format() write it.
#include "tervix_main/fast/plain_text.hpp"

#include "support/characters.hpp"
#include "tervix_main/fast/budget.hpp"
#include "tervix_main/fast/scalar_text.hpp"

namespace glimet::tervix::fast {
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
    if (c == quote || c == '\\')
        escape[1] = static_cast<char>(c);
    else if (c == '\t')
        escape[1] = 't';
    else if (c == '\n')
        escape[1] = 'n';
    else if (c == '\r')
        escape[1] = 'r';
    else {
        int digits = c < 0x100 ? 2 : c < 0x10000 ? 4 : 8;
        escape[1] = digits == 2 ? 'x' : digits == 4 ? 'u' : 'U';
        for (int d = 0; d < digits; ++d) escape[2 + d] = hex[(c >> (4 * (digits - 1 - d))) & 0xF];
        size = 2 + static_cast<size_t>(digits);
    }
    out.ascii(std::string_view(escape, size));
}

// repr of a str: in single quotes unless it holds a single quote and no double quote; the
// chosen quote, the backslash, \t \n \r and unprintable characters escaped as str.__repr__
// does.
void write_str_repr(TextBuilder &out, PyObject *text) {
    with_characters(text, [&](const auto *chars, Py_ssize_t n) {
        // One look at every character finds the quotes, and whether any other character needs
        // an escape; most texts need none and are copied whole.
        bool single = false, dual = false, unusual = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Py_UCS4 c = chars[i];
            single |= c == '\'';
            dual |= c == '"';
            unusual |=
                c < ' ' || c == '\\' || (c >= 0x7f && !(c > 0x7f && Py_UNICODE_ISPRINTABLE(c)));
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
    });
}

Route write_repr(TextBuilder &out, PyObject *value, int depth, int room);

// The items of a list or tuple, ", "-separated.
Route write_items(TextBuilder &out, PyObject *sequence, int depth, int room) {
    Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (i > 0) out.ascii(", ");
        if (write_repr(out, PySequence_Fast_GET_ITEM(sequence, i), depth + 1, room) ==
            Route::declined)
            return Route::declined;
    }
    return Route::written;
}

// The entries of a dict, "key: value", ", "-separated.
Route write_entries(TextBuilder &out, PyObject *dict, int depth, int room) {
    Py_ssize_t position = 0;
    PyObject *key, *item;
    bool first = true;
    while (PyDict_Next(dict, &position, &key, &item)) {
        if (!first) out.ascii(", ");
        first = false;
        if (write_repr(out, key, depth + 1, room) == Route::declined) return Route::declined;
        out.ascii(": ");
        if (write_repr(out, item, depth + 1, room) == Route::declined) return Route::declined;
    }
    return Route::written;
}

// `value` inside `depth` containers, where `room` containers in all are allowed.
Route write_repr(TextBuilder &out, PyObject *value, int depth, int room) {
    if (PyUnicode_CheckExact(value)) {
        write_str_repr(out, value);
        return Route::written;
    }
    if (value == Py_None || value == Py_True || value == Py_False || PyFloat_CheckExact(value) ||
        PyLong_CheckExact(value))
        return write_scalar_text(out, value);
    // repr() takes a level of the recursion budget for each container it enters.
    bool list = PyList_CheckExact(value), tuple = PyTuple_CheckExact(value);
    if ((!list && !tuple && !PyDict_CheckExact(value)) || depth >= room) return Route::declined;
    Route route;
    if (list || tuple) {
        out.character(list ? '[' : '(');
        route = write_items(out, value, depth, room);
        if (tuple && PyTuple_GET_SIZE(value) == 1) out.character(',');
        out.character(list ? ']' : ')');
    } else {
        out.character('{');
        route = write_entries(out, value, depth, room);
        out.character('}');
    }
    return route;
}

} // namespace

Route write_scalar_text(TextBuilder &out, PyObject *value) {
    if (PyUnicode_CheckExact(value)) {
        out.str(value);
        return Route::written;
    }
    if (value != Py_True && value != Py_False && value != Py_None && !PyFloat_CheckExact(value) &&
        !PyLong_CheckExact(value))
        return Route::declined;
    if (!out.reserve(scalar_room)) return Route::written; // finish() reports the lack of memory
    if (out.append([value](auto *at) { return write_scalar_at(at, value); }))
        return Route::written;
    return write_int(out, value); // past 64 bits
}

Route write_plain_repr(TextBuilder &out, PyObject *value) {
    TextBuilder::Mark start = out.mark();
    if (write_repr(out, value, 0, container_room(str_levels)) == Route::written)
        return Route::written;
    out.rewind(start);
    return Route::declined;
}

} // namespace glimet::tervix::fast
