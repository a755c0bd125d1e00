// Module-level names looked up the way Python code looks up a global: the module namespace,
// then the built-ins.
#pragma once

#include "support/ref.hpp"

namespace glimet {

// The value bound to `name` (an interned str) in `globals`, else among the built-ins;
// NameError "name '...' is not defined" when neither has it.
Ref lookup_global(PyObject *globals, PyObject *name);

// The interpreter's built-in bound to `name` now (the builtins module's, not the calling
// frame's); NameError as above when there is none.
Ref lookup_builtin(PyObject *name);

} // namespace glimet
