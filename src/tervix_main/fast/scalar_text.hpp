// The text of Python's scalars through the kernels, into the text builder: each adapter
// written once, for compact JSON and plain text alike; those of strings and ints inline, since
// they are the most of a document's values. Only for the fast routes: see routes.hpp for the
// contract every Route here keeps.
#pragma once

// Python's headers come before the standard library's.
#include "support/internals.hpp"
#include "support/text_builder.hpp"
#include "tervix_main/fast/routes.hpp"

#include "kernels/escape.hpp"
#include "kernels/float_repr.hpp"
#include "kernels/int_text.hpp"

#include <cmath>

#include <string_view>

namespace glimet::tervix::fast {

// Appends `text` (an exact str) as a JSON string with ensure_ascii off, then `after` unless it
// is 0: only the quotation mark, the backslash and the control characters are escaped.
// Declined for a str whose characters are not stored in its object, which this interpreter
// does not make.
inline Route write_json_string(TextBuilder &out, PyObject *text, char after = 0);

// Appends an exact int as int.__repr__ writes it; declined where that fails (past the digit
// limit).
inline Route write_int(TextBuilder &out, PyObject *value);

// Appends a float in JSON's spelling, which writes NaN and the infinities as the standard
// encoder does ("NaN", "Infinity", "-Infinity").
void write_json_float(TextBuilder &out, double x);

// The room write_scalar_at needs: its longest text, and what it may store past it.
inline constexpr size_t scalar_room = kernels::float_repr_room;
static_assert(scalar_room >= kernels::int_text_room);

// Writes str(value), which is repr(value), of True, False, None, an exact int that 64 bits
// hold or an exact float at `out` (Py_UCS1, Py_UCS2 or Py_UCS4), where scalar_room characters
// fit; returns the end of the text. For any other value writes nothing and returns null.
template <typename Out> Out *write_scalar_at(Out *out, PyObject *value) noexcept;

// Appends the ASCII text `write` puts at a char pointer (returning its end), at most `room`
// characters; straight into the text while it is one byte a character.
template <size_t room, typename Write> void write_ascii(TextBuilder &out, Write write) {
    if (!out.reserve(room)) return;
    if (out.kind() == 1) {
        char *at = reinterpret_cast<char *>(out.end<Py_UCS1>());
        out.advance(static_cast<size_t>(write(at) - at));
        return;
    }
    char text[room];
    out.put(std::string_view(text, static_cast<size_t>(write(text) - text)));
}

// Appends the `n` characters at `in` in quotes, escaped, and `after` unless it is 0; room for
// the characters and three more has been reserved. Each character type is known here, so the
// quotes are stored as it.
template <typename In, typename Out>
[[gnu::always_inline]] inline void write_quoted(TextBuilder &out, const In *in, size_t n,
                                                char after) {
    *out.end<Out>() = '"';
    out.advance(1);
    size_t i = 0;
    for (;;) {
        size_t plain = kernels::copy_unescaped(in + i, n - i, out.end<Out>());
        out.advance(plain);
        i += plain;
        if (i == n) break;
        // Room for the escape, the rest, and the two after.
        if (!out.reserve(n - i + kernels::escape_room + 2)) return;
        out.put(kernels::escape_sequence(in[i]));
        ++i;
    }
    Out *end = out.end<Out>();
    end[0] = '"';
    end[1] = static_cast<Out>(after);
    out.advance(after ? 2 : 1);
}

inline Route write_json_string(TextBuilder &out, PyObject *text, char after) {
    // The characters are read in place, and the escape kernel may look at the 16 bytes before
    // their end: in a compact str those are its header's, when not its own.
    if (!PyUnicode_IS_COMPACT(text)) return Route::declined;
    auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    if (!out.hold(PyUnicode_MAX_CHAR_VALUE(text)) || !out.reserve(n + 3)) return Route::written;
    const void *data = PyUnicode_DATA(text);
    int out_kind = out.kind();
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: {
        const auto *in = static_cast<const Py_UCS1 *>(data);
        if (out_kind == 1)
            write_quoted<Py_UCS1, Py_UCS1>(out, in, n, after);
        else if (out_kind == 2)
            write_quoted<Py_UCS1, Py_UCS2>(out, in, n, after);
        else
            write_quoted<Py_UCS1, Py_UCS4>(out, in, n, after);
        break;
    }
    case PyUnicode_2BYTE_KIND: {
        const auto *in = static_cast<const Py_UCS2 *>(data);
        if (out_kind == 2)
            write_quoted<Py_UCS2, Py_UCS2>(out, in, n, after);
        else
            write_quoted<Py_UCS2, Py_UCS4>(out, in, n, after);
        break;
    }
    default:
        write_quoted<Py_UCS4, Py_UCS4>(out, static_cast<const Py_UCS4 *>(data), n, after);
    }
    return Route::written;
}

inline Route write_int(TextBuilder &out, PyObject *value) {
    long long small;
    if (internals::small_int(value, &small)) {
        // Straight into the text, in whatever kind it is stored.
        if (!out.reserve(kernels::int_text_room)) return Route::written;
        auto write = [&out, small](auto *at) {
            out.advance(static_cast<size_t>(kernels::int_text(int64_t{small}, at) - at));
        };
        if (out.kind() == 1)
            write(reinterpret_cast<char *>(out.end<Py_UCS1>()));
        else if (out.kind() == 2)
            write(out.end<Py_UCS2>());
        else
            write(out.end<Py_UCS4>());
        return Route::written;
    }
    // int's own repr, which runs no Python code; past the digit limit it refuses, and the
    // general route then meets that refusal.
    Ref digits = Ref::steal(PyLong_Type.tp_repr(value));
    if (!digits) {
        PyErr_Clear();
        return Route::declined;
    }
    out.str(digits.get());
    return Route::written;
}

// Stores the ASCII `text` at `out` as Out characters; returns its end.
template <typename Out> Out *put_ascii(Out *out, std::string_view text) noexcept {
    for (char c : text) *out++ = static_cast<unsigned char>(c);
    return out;
}

// A kernel that writes ASCII at a char pointer (returning its end), run at `out`: in place
// for one byte a character, else in `text` and widened into place.
template <typename Out, size_t room, typename Write> Out *write_ascii_at(Out *out, Write write) {
    if constexpr (sizeof(Out) == 1) {
        char *at = reinterpret_cast<char *>(out);
        return out + (write(at) - at);
    } else {
        char text[room];
        return put_ascii(out, std::string_view(text, static_cast<size_t>(write(text) - text)));
    }
}

template <typename Out> Out *write_scalar_at(Out *out, PyObject *value) noexcept {
    PyTypeObject *type = Py_TYPE(value);
    if (type == &PyLong_Type) {
        long long small;
        if (!internals::small_int(value, &small)) return nullptr;
        if constexpr (sizeof(Out) == 1) { // the kernel writes digits of every width in place
            char *at = reinterpret_cast<char *>(out);
            return out + (kernels::int_text(int64_t{small}, at) - at);
        } else {
            return kernels::int_text(int64_t{small}, out);
        }
    }
    if (type == &PyFloat_Type) {
        double x = PyFloat_AS_DOUBLE(value);
        if (std::isnan(x)) return put_ascii(out, "nan");
        if (std::isinf(x)) return put_ascii(out, x > 0 ? "inf" : "-inf");
        return write_ascii_at<Out, kernels::float_repr_room>(
            out, [x](char *at) { return kernels::float_repr(x, at); });
    }
    if (value == Py_True) return put_ascii(out, "True");
    if (value == Py_False) return put_ascii(out, "False");
    if (value == Py_None) return put_ascii(out, "None");
    return nullptr;
}

} // namespace glimet::tervix::fast
