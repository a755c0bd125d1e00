// The scalar adapters: a Python object's characters or value handed to its kernel, the text
// written in the builder's own kind.
#include "tervix_main/fast/scalar_text.hpp"

#include "kernels/escape.hpp"
#include "kernels/float_repr.hpp"
#include "kernels/int_text.hpp"
#include "support/internals.hpp"

#include <cmath>

namespace glimet::tervix::fast {
namespace {

// Appends the `n` characters at `in`, escaped; room for them and one more has been reserved.
template <typename In, typename Out> void write_escaped(TextBuilder &out, const In *in, size_t n) {
    size_t i = 0;
    for (;;) {
        size_t plain = kernels::copy_unescaped(in + i, n - i, out.end<Out>());
        out.advance(plain);
        i += plain;
        if (i == n) return;
        // Room for the escape, the rest, and the one after.
        if (!out.reserve(n - i + kernels::escape_room)) return;
        out.put(kernels::escape_sequence(in[i]));
        ++i;
    }
}

// A float's text: repr's digits for a finite one, `words` for NaN, infinity and -infinity.
void write_float(TextBuilder &out, double x, const std::string_view (&words)[3]) {
    if (std::isnan(x)) return out.ascii(words[0]);
    if (std::isinf(x)) return out.ascii(words[x > 0 ? 1 : 2]);
    write_ascii<kernels::float_repr_room>(out,
                                          [x](char *at) { return kernels::float_repr(x, at); });
}

} // namespace

Route write_json_string(TextBuilder &out, PyObject *text, char after) {
    // The characters are read in place, and the escape kernel may look at the 16 bytes before
    // their end: in a compact str those are its header's, when not its own.
    if (!PyUnicode_IS_COMPACT(text)) return Route::declined;
    auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    if (!out.hold(PyUnicode_MAX_CHAR_VALUE(text)) || !out.reserve(n + 3)) return Route::written;
    out.put('"');
    const void *data = PyUnicode_DATA(text);
    int out_kind = out.kind();
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND: {
        const auto *in = static_cast<const Py_UCS1 *>(data);
        if (out_kind == 1)
            write_escaped<Py_UCS1, Py_UCS1>(out, in, n);
        else if (out_kind == 2)
            write_escaped<Py_UCS1, Py_UCS2>(out, in, n);
        else
            write_escaped<Py_UCS1, Py_UCS4>(out, in, n);
        break;
    }
    case PyUnicode_2BYTE_KIND: {
        const auto *in = static_cast<const Py_UCS2 *>(data);
        if (out_kind == 2)
            write_escaped<Py_UCS2, Py_UCS2>(out, in, n);
        else
            write_escaped<Py_UCS2, Py_UCS4>(out, in, n);
        break;
    }
    default:
        write_escaped<Py_UCS4, Py_UCS4>(out, static_cast<const Py_UCS4 *>(data), n);
    }
    if (out.reserve(2)) {
        out.put('"');
        if (after) out.put(after);
    }
    return Route::written;
}

Route write_int(TextBuilder &out, PyObject *value) {
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

void write_float_repr(TextBuilder &out, double x) {
    static constexpr std::string_view words[3] = {"nan", "inf", "-inf"};
    write_float(out, x, words);
}

void write_json_float(TextBuilder &out, double x) {
    static constexpr std::string_view words[3] = {"NaN", "Infinity", "-Infinity"};
    write_float(out, x, words);
}

} // namespace glimet::tervix::fast
