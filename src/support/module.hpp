// Helpers for the modules' import-time work.
#pragma once

#include "support/ref.hpp"

namespace glimet {

// A module that exists once per process: after its execution step has succeeded, every later
// import gets the same module object and the namespace is not built again.
struct OnceModule {
    PyObject *module = nullptr; // the executed module, kept for the process
};

// Py_mod_create for modules that live in one interpreter only: the first interpreter to load
// the module owns it, any other gets ImportError. Returns the module already executed, if any.
PyObject *create_in_one_interpreter(PyObject *spec, PyModuleDef *def, OnceModule &once);

// For the start of Py_mod_exec: true when `module` has been executed already.
inline bool already_executed(PyObject *module, const OnceModule &once) {
    return module == once.module;
}

// For the end of a successful Py_mod_exec.
inline void executed(PyObject *module, OnceModule &once) { once.module = Py_NewRef(module); }

// `from <module_name> import <name>` run in the module whose namespace is `globals`, with
// `level` leading dots (0 for an absolute import): the attribute, else the sys.modules entry
// "<module>.<name>", else ImportError "cannot import name <name>".
Ref from_import(const char *module_name, const char *name, PyObject *globals, int level);

} // namespace glimet
