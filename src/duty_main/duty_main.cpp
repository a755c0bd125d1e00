// The entry module: GlimetWorkMain, derived from the toolkit's TERVIXWorkMain with nothing added.
#include "support/function.hpp"
#include "support/module.hpp"
#include "support/traceback.hpp"

namespace glimet::duty {
namespace {

// The subclass, made by the base's metaclass as a class statement would.
Ref make_class(PyObject *base) {
    Ref namespace_ = Ref::steal(Py_BuildValue("{s:s,s:s}", "__module__", "duty_main",
                                              "__qualname__", "GlimetWorkMain"));
    if (!namespace_) return {};
    PyObject *metaclass = reinterpret_cast<PyObject *>(Py_TYPE(base));
    return Ref::steal(
        PyObject_CallFunction(metaclass, "s(O)O", "GlimetWorkMain", base, namespace_.get()));
}

OnceModule once;

int module_exec(PyObject *module) noexcept {
    if (already_executed(module, once)) return 0;
    PyObject *globals = PyModule_GetDict(module); // borrowed: the module keeps it
    // from .tervix_main import TERVIXWorkMain
    Ref base = from_import("tervix_main", "TERVIXWorkMain", globals, 1);
    if (!base || PyModule_AddObjectRef(module, "TERVIXWorkMain", base.get()) < 0) {
        add_traceback("init duty_main", GLIMET_SOURCE, __LINE__, globals);
        return -1;
    }
    Ref cls = make_class(base.get());
    if (!cls || PyModule_Add(module, "GlimetWorkMain", cls.release()) < 0) {
        add_traceback("init duty_main", GLIMET_SOURCE, __LINE__, globals);
        return -1;
    }
    executed(module, once);
    return 0;
}

PyObject *module_create(PyObject *spec, PyModuleDef *def) noexcept {
    return create_in_one_interpreter(spec, def, once);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "duty_main",
    "glimet-work entry module.\n\n"
    "Author:  the glimet-work developers\n"
    "Date:    2026-12-07\n"
    "Editor:  any\n"
    "Project: glimet-work\n"
    "File:    duty_main",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace glimet::duty

PyMODINIT_FUNC PyInit_duty_main(void) { return PyModuleDef_Init(&glimet::duty::module_def); }
