// The frame of the modules that exist once per process, and the from-import step.
#include "support/module.hpp"

#include "support/traceback.hpp"

namespace glimet {

PyObject *OnceModule::create(PyObject *spec, PyModuleDef *def) noexcept {
    int64_t here = PyInterpreterState_GetID(PyInterpreterState_Get());
    int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, here) && expected != here) {
        PyErr_Format(PyExc_ImportError,
                     "module %s can be loaded by one interpreter per process only", def->m_name);
        return nullptr;
    }
    if (module) return Py_NewRef(module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

int OnceModule::exec(PyObject *created) noexcept {
    if (created == module) return 0;
    if (build(created) < 0) {
        add_traceback(entry, file, line, PyModule_GetDict(created));
        return -1;
    }
    module = Py_NewRef(created);
    return 0;
}

Ref from_import(const char *module_name, const char *name, PyObject *globals, int level) {
    Ref attribute = Ref::steal(PyUnicode_FromString(name));
    if (!attribute) return {};
    Ref fromlist = Ref::steal(PyTuple_Pack(1, attribute.get()));
    if (!fromlist) return {};
    Ref module = Ref::steal(
        PyImport_ImportModuleLevel(module_name, globals, nullptr, fromlist.get(), level));
    if (!module) return {};
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttr(module.get(), attribute.get(), &value) != 0)
        return Ref::steal(value);
    // A submodule being imported may be in sys.modules before it is set on its parent.
    Ref imported_name = Ref::steal(PyObject_GetAttrString(module.get(), "__name__"));
    if (imported_name && PyUnicode_Check(imported_name.get())) {
        Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", imported_name.get(), attribute.get()));
        if (!full) return {};
        PyObject *modules = PyImport_GetModuleDict(); // borrowed, lives as long as the interpreter
        if (PyDict_GetItemRef(modules, full.get(), &value) != 0) return Ref::steal(value);
    }
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name %S", attribute.get());
    return {};
}

} // namespace glimet
