// Global-name lookup, as Python code looks a global name up.
#include "support/globals.hpp"

namespace glimet {

namespace {

// The namespace of the interpreter's builtins module, kept for the process (the modules that
// use it live in one interpreter).
PyObject *builtins_namespace() {
    static PyObject *namespace_ = nullptr;
    if (!namespace_) {
        Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
        if (!builtins) return nullptr;
        namespace_ = Py_NewRef(PyModule_GetDict(builtins.get()));
    }
    return namespace_;
}

} // namespace

Ref lookup_builtin(PyObject *name) {
    PyObject *builtins = builtins_namespace();
    if (!builtins) return {};
    PyObject *value = nullptr;
    int found = PyDict_GetItemRef(builtins, name, &value);
    if (found != 0) return Ref::steal(value);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref lookup_global(PyObject *globals, PyObject *name) {
    PyObject *value = nullptr;
    int found = PyDict_GetItemRef(globals, name, &value);
    if (found != 0) return Ref::steal(value); // found, or an error from a hostile key's __eq__
    return lookup_builtin(name);
}

} // namespace glimet
