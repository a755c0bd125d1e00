// Global-name lookup and the interned-name cache.
#include "support/globals.hpp"

namespace glimet {

Ref lookup_global(PyObject *globals, PyObject *name) {
    PyObject *value = nullptr;
    int found = PyDict_GetItemRef(globals, name, &value);
    if (found != 0) return Ref::steal(value); // found, or an error from a hostile key's __eq__
    PyObject *builtins = PyEval_GetFrameBuiltins();
    if (!builtins) return {};
    Ref builtins_ref = Ref::steal(builtins);
    found = PyDict_GetItemRef(builtins, name, &value);
    if (found != 0) return Ref::steal(value);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

} // namespace glimet
