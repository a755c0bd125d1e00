// Module creation limited to one interpreter, and the from-import step.
#include "support/module.hpp"

#include <atomic>

namespace glimet {

PyObject *create_in_one_interpreter(PyObject *spec, PyModuleDef *def, OnceModule &once) {
    // Each shared object has its own copy of this variable, so each module keeps its own owner.
    static std::atomic<int64_t> owner{-1};
    int64_t here = PyInterpreterState_GetID(PyInterpreterState_Get());
    int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, here) && expected != here) {
        PyErr_Format(PyExc_ImportError,
                     "module %s can be loaded by one interpreter per process only", def->m_name);
        return nullptr;
    }
    if (once.module) return Py_NewRef(once.module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

Ref import_from(PyObject *module, PyObject *name) {
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttr(module, name, &value) != 0) return Ref::steal(value);
    // A submodule being imported may be in sys.modules before it is set on its parent.
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (module_name && PyUnicode_Check(module_name.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name));
        if (!full) return {};
        PyObject *modules = PyImport_GetModuleDict(); // borrowed, lives as long as the interpreter
        if (PyDict_GetItemRef(modules, full.get(), &value) != 0) return Ref::steal(value);
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

} // namespace glimet
