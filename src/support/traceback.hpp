// Synthetic traceback entries that make failures inside C++ code readable in Python tracebacks.
#pragma once

#include "support/ref.hpp"

namespace glimet {

// Adds an entry named `name` at `file`:`line` to the traceback of the exception being raised.
// The texts must be string literals: entries are cached by their addresses.
// Must be called with an exception set; leaves it set (a failure to add the entry is ignored).
void add_traceback(const char *name, const char *file, int line, PyObject *globals) noexcept;

// The same for an entry whose code object (borrowed) the caller has made and keeps.
void add_traceback(PyObject *code, PyObject *globals) noexcept;

} // namespace glimet
