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

// The path of a source file relative to the source tree, as the entries name it.
constexpr const char *source_name(const char *path) {
    const char *result = path;
    for (const char *p = path; *p; ++p) {
        if (p[0] == 's' && p[1] == 'r' && p[2] == 'c' && p[3] == '/') result = p + 4;
    }
    return result;
}

} // namespace glimet

// The file being compiled, as traceback entries name it: "tervix_main/signing.cpp".
#define GLIMET_SOURCE ::glimet::source_name(__FILE__)
