// Helpers for the modules' import-time work.
#pragma once

#include "support/ref.hpp"

namespace glimet {

// Py_mod_create for modules that live in one interpreter only: the first interpreter to load
// the module owns it, any other gets ImportError.
PyObject *create_in_one_interpreter(PyObject *spec, PyModuleDef *def);

// `from <module> import <name>`: the attribute, else the sys.modules entry "<module>.<name>",
// else ImportError "cannot import name <name>".
Ref import_from(PyObject *module, PyObject *name);

} // namespace glimet
