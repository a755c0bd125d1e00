// Reading a str's characters in the width they are stored in.
#pragma once

#include "support/ref.hpp"

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

} // namespace glimet
