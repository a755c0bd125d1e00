// Reading a str's characters in the width they are stored in.
#pragma once

#include "support/ref.hpp"

#include <cstring>

namespace glimet {

// Calls visit(chars, length) with the characters of `text`, a str, as a pointer to Py_UCS1,
// Py_UCS2 or Py_UCS4, whichever its kind stores; returns what `visit` returns.
template <typename Visit> decltype(auto) with_characters(PyObject *text, Visit &&visit) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const void *data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        return visit(static_cast<const Py_UCS1 *>(data), length);
    case PyUnicode_2BYTE_KIND:
        return visit(static_cast<const Py_UCS2 *>(data), length);
    default:
        return visit(static_cast<const Py_UCS4 *>(data), length);
    }
}

// Copies `n` characters from `in` to `out`, which do not overlap, as Out characters.
template <typename In, typename Out>
void copy_characters(const In *__restrict in, size_t n, Out *__restrict out) noexcept {
    if constexpr (sizeof(In) == sizeof(Out)) {
        std::memcpy(out, in, n * sizeof(Out));
    } else {
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<Out>(in[i]);
    }
}

// Copies the characters of `text`, a str none of whose characters is wider than Out holds, to
// `out` as Out characters; returns their end.
template <typename Out> Out *copy_characters(PyObject *text, Out *out) noexcept {
    auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    const void *data = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        copy_characters(static_cast<const Py_UCS1 *>(data), n, out);
        break;
    case PyUnicode_2BYTE_KIND:
        copy_characters(static_cast<const Py_UCS2 *>(data), n, out);
        break;
    default:
        copy_characters(static_cast<const Py_UCS4 *>(data), n, out);
    }
    return out + n;
}

} // namespace glimet
