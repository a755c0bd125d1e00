// The compact JSON writer. Every value it accepts is an exact built-in type whose text it
// writes as the standard encoder's C accelerator does, straight into the result str through
// the text builder: scalars by their adapters (scalar_text.hpp), runs of floats handed to the
// float-repr kernel several at a time.
#include "tervix_main/fast/compact_json.hpp"

#include "kernels/float_repr.hpp"
#include "support/internals.hpp"
#include "support/text_builder.hpp"
#include "tervix_main/fast/budget.hpp"
#include "tervix_main/fast/fetch_ahead.hpp"
#include "tervix_main/fast/scalar_text.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace glimet::tervix::fast {
namespace {

template <size_t size> void write_literal(TextBuilder &out, const char (&literal)[size]) {
    if (out.reserve(size - 1)) out.put(std::string_view(literal, size - 1));
}

void put(TextBuilder &out, char c) {
    if (out.reserve(1)) out.put(c);
}

// A dict key and its ':': a str as a JSON string, other plain keys as their JSON text in
// quotes.
Route write_key(TextBuilder &out, PyObject *key) {
    if (PyUnicode_CheckExact(key)) return write_json_string(out, key, ':');
    put(out, '"');
    if (key == Py_True)
        write_literal(out, "true");
    else if (key == Py_False)
        write_literal(out, "false");
    else if (key == Py_None)
        write_literal(out, "null");
    else if (PyFloat_CheckExact(key))
        write_json_float(out, PyFloat_AS_DOUBLE(key));
    else if (!PyLong_CheckExact(key) || write_int(out, key) == Route::declined)
        return Route::declined;
    write_literal(out, "\":");
    return Route::written;
}

Route write_value(TextBuilder &out, PyObject *value, int depth, int room);

// A container's member, as write_value writes it: strings and ints, most members, without the
// recursive call.
Route write_member(TextBuilder &out, PyObject *value, int depth, int room) {
    PyTypeObject *type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return write_json_string(out, value);
    if (type == &PyLong_Type) return write_int(out, value);
    return write_value(out, value, depth, room);
}

Route write_dict(TextBuilder &out, PyObject *dict, int depth, int room) {
    // The entries are borrowed: nothing here runs Python code, so the dict stays as it is.
    put(out, '{');
    bool first = true;
    bool whole = internals::for_each_entry<fetch_ahead>(dict, [&](PyObject *key, PyObject *value) {
        if (!first) put(out, ',');
        first = false;
        return write_key(out, key) == Route::written &&
               write_member(out, value, depth + 1, room) == Route::written;
    });
    put(out, '}');
    return whole ? Route::written : Route::declined;
}

// Whether `item` is a finite float.
bool finite_float(PyObject *item) {
    return Py_TYPE(item) == &PyFloat_Type && std::isfinite(PyFloat_AS_DOUBLE(item));
}

// Writes the items of a sequence from `i` on while they are exact ints of 64 bits and the text
// is one byte a character, each after a ',' unless it is the first; returns where it stopped.
// Room is made once for a block of them, and each goes straight into the text.
Py_ssize_t write_ints(TextBuilder &out, PyObject *const *items, Py_ssize_t i, Py_ssize_t size) {
    constexpr Py_ssize_t block = 32;
    while (i < size && out.kind() == 1) {
        Py_ssize_t end = std::min(size, i + block);
        if (!out.reserve(static_cast<size_t>(end - i) * (kernels::int_text_room + 1))) return i;
        char *start = reinterpret_cast<char *>(out.end<Py_UCS1>()), *at = start;
        long long value;
        for (;
             i < end && Py_TYPE(items[i]) == &PyLong_Type && internals::small_int(items[i], &value);
             ++i) {
            if (i + fetch_ahead < size) prefetch(items[i + fetch_ahead]);
            *at = ',';
            at = kernels::int_text(int64_t{value}, at + (i > 0));
        }
        out.advance(static_cast<size_t>(at - start));
        if (i < end) break;
    }
    return i;
}

// Writes the items of a sequence from `i` on while they are finite floats and the text is one
// byte a character, each after a ',' unless it is the first; returns where it stopped. Room is
// made once for a block of them, and each goes straight into the text, two at a time where
// two come together (the kernel works on both at once).
Py_ssize_t write_floats(TextBuilder &out, PyObject *const *items, Py_ssize_t i, Py_ssize_t size) {
    constexpr Py_ssize_t block = 32;
    while (i < size && out.kind() == 1) {
        Py_ssize_t end = std::min(size, i + block);
        if (!out.reserve(static_cast<size_t>(end - i) * (kernels::float_repr_room + 1))) return i;
        char *start = reinterpret_cast<char *>(out.end<Py_UCS1>()), *at = start;
        for (; i < end && finite_float(items[i]); ++i) {
            if (i + fetch_ahead < size) prefetch(items[i + fetch_ahead]);
            *at = ',';
            at += i > 0;
            double x = PyFloat_AS_DOUBLE(items[i]);
            if (i + 1 < end && finite_float(items[i + 1])) {
                at = kernels::float_reprs(x, PyFloat_AS_DOUBLE(items[i + 1]), at);
                ++i;
            } else {
                at = kernels::float_repr(x, at);
            }
        }
        out.advance(static_cast<size_t>(at - start));
        if (i < end) break;
    }
    return i;
}

// Whether `item` is a list of two finite floats, as coordinates come: [x, y].
bool float_pair(PyObject *item) {
    return Py_TYPE(item) == &PyList_Type && PyList_GET_SIZE(item) == 2 &&
           finite_float(PyList_GET_ITEM(item, 0)) && finite_float(PyList_GET_ITEM(item, 1));
}

// Writes the items of a sequence from `i` on, two at a time, while both are lists of two finite
// floats and the text is one byte a character, each after a ',' unless it is the first;
// returns where it stopped. The four floats are worked on side by side.
// The lists are containers inside `depth` others, where `room` are allowed (as write_value).
Py_ssize_t write_float_pairs(TextBuilder &out, PyObject *const *items, Py_ssize_t i,
                             Py_ssize_t size, int depth, int room) {
    if (depth >= room) return i; // the lists' level is refused: write_value says so
    constexpr size_t most =
        4 * (kernels::float_repr_room + 1) + 8; // four floats and ",[", ",", "],[", "]"
    while (i + 1 < size && out.kind() == 1 && float_pair(items[i]) && float_pair(items[i + 1])) {
        if (i + fetch_ahead + 1 < size) {
            prefetch(items[i + fetch_ahead]);
            prefetch(items[i + fetch_ahead + 1]);
        }
        if (!out.reserve(most)) return i;
        const double x[4] = {PyFloat_AS_DOUBLE(PyList_GET_ITEM(items[i], 0)),
                             PyFloat_AS_DOUBLE(PyList_GET_ITEM(items[i], 1)),
                             PyFloat_AS_DOUBLE(PyList_GET_ITEM(items[i + 1], 0)),
                             PyFloat_AS_DOUBLE(PyList_GET_ITEM(items[i + 1], 1))};
        char *start = reinterpret_cast<char *>(out.end<Py_UCS1>()), *at = start;
        *at = ',';
        at = kernels::float_pair_lists(x, at + (i > 0));
        out.advance(static_cast<size_t>(at - start));
        i += 2;
    }
    return i;
}

Route write_sequence(TextBuilder &out, PyObject *sequence, int depth, int room) {
    put(out, '[');
    Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence);
    PyObject **items = PySequence_Fast_ITEMS(sequence);
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (Py_TYPE(items[i]) == &PyFloat_Type) {
            i = write_floats(out, items, i, size);
            if (i == size) break;
        } else if (Py_TYPE(items[i]) == &PyLong_Type) {
            i = write_ints(out, items, i, size);
            if (i == size) break;
        } else if (Py_TYPE(items[i]) == &PyList_Type) {
            i = write_float_pairs(out, items, i, size, depth + 1, room);
            if (i == size) break;
        }
        if (i + fetch_ahead < size) prefetch(items[i + fetch_ahead]);
        if (i > 0) put(out, ',');
        if (write_member(out, items[i], depth + 1, room) == Route::declined) return Route::declined;
    }
    put(out, ']');
    return Route::written;
}

// `value` inside `depth` containers, where `room` containers in all are allowed. One look at
// the type, the most common first.
Route write_value(TextBuilder &out, PyObject *value, int depth, int room) {
    PyTypeObject *type = Py_TYPE(value);
    if (type == &PyUnicode_Type) return write_json_string(out, value);
    if (type == &PyLong_Type) return write_int(out, value);
    if (type == &PyFloat_Type) {
        write_json_float(out, PyFloat_AS_DOUBLE(value));
        return Route::written;
    }
    if (type == &PyDict_Type || type == &PyList_Type || type == &PyTuple_Type) {
        // The encoder takes a level of the recursion budget for each container it enters.
        if (depth >= room) return Route::declined;
        return type == &PyDict_Type ? write_dict(out, value, depth, room)
                                    : write_sequence(out, value, depth, room);
    }
    if (value == Py_None)
        write_literal(out, "null");
    else if (value == Py_True)
        write_literal(out, "true");
    else if (value == Py_False)
        write_literal(out, "false");
    else
        return Route::declined;
    return Route::written;
}

} // namespace

Route write_json(Ref &text, PyObject *value) {
    if (!room_for_frames(json_dumps_frames)) return Route::declined;
    TextBuilder out;
    if (write_value(out, value, 0, container_room(json_dumps_levels)) == Route::declined)
        return Route::declined;
    // Empty only when memory ran out, which the general route meets again.
    text = out.finish();
    if (text) return Route::written;
    PyErr_Clear();
    return Route::declined;
}

} // namespace glimet::tervix::fast
