// The entry module: GlimetWorkMain, derived from the toolkit's TERVIXWorkMain with nothing added.
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

// from .tervix_main import TERVIXWorkMain, then the subclass.
[[nodiscard]] int build(PyObject *module) {
    Ref base = from_import("tervix_main", "TERVIXWorkMain", PyModule_GetDict(module), 1);
    if (!base || PyModule_AddObjectRef(module, "TERVIXWorkMain", base.get()) < 0) return -1;
    Ref cls = make_class(base.get());
    if (!cls) return -1;
    return PyModule_Add(module, "GlimetWorkMain", cls.release());
}

OnceModule once{.entry = "init duty_main", .file = GLIMET_SOURCE, .line = __LINE__, .build = build};

PyObject *module_create(PyObject *spec, PyModuleDef *def) noexcept {
    return once.create(spec, def);
}

int module_exec(PyObject *module) noexcept { return once.exec(module); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "duty_main",
    .m_doc = "glimet-work entry module.\n\n"
             "Author:  the glimet-work developers\n"
             "Date:    2026-12-07\n"
             "Editor:  any\n"
             "Project: glimet-work\n"
             "File:    duty_main",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace
} // namespace glimet::duty

PyMODINIT_FUNC PyInit_duty_main(void) { return PyModuleDef_Init(&glimet::duty::module_def); }
