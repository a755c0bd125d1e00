// The toolkit module: its imports, the class TERVIXWorkMain and the module definition.
#include "kernels/kernels.hpp"
#include "support/module.hpp"
#include "tervix_main/fast/routes.hpp"
#include "tervix_main/operations.hpp"

namespace glimet::tervix {
namespace {

// The constructor stores nothing: instances carry no state.
PyObject *init(Function *, PyObject *const *) { Py_RETURN_NONE; }

constexpr const char class_doc[] =
    "\n    TERVIX 类用于处理与 TERVIX 相关的操作，包括初始化、管理和签名生成。\n    ";

constexpr const char class_name[] = "TERVIXWorkMain";

// `import <name>`, bound under the same name.
[[nodiscard]] int bind_import(PyObject *module, const char *name) {
    Ref imported = Ref::steal(PyImport_ImportModule(name));
    if (!imported) return -1;
    return PyModule_Add(module, name, imported.release());
}

// `from <module_name> import <name>`, bound under `name`.
[[nodiscard]] int bind_from_import(PyObject *module, const char *module_name, const char *name) {
    Ref value = from_import(module_name, name, PyModule_GetDict(module), 0);
    if (!value) return -1;
    return PyModule_Add(module, name, value.release());
}

// Stores the operation made from `spec` in `namespace_`, wrapped in staticmethod when asked.
[[nodiscard]] int add_operation(PyObject *namespace_, PyObject *module_name, PyObject *globals,
                                const OperationSpec &spec, bool is_static,
                                PyObject *defaults = nullptr) {
    Ref function = function_new(spec, class_name, module_name, globals, defaults);
    if (!function) return -1;
    if (is_static) {
        function = Ref::steal(PyStaticMethod_New(function.get()));
        if (!function) return -1;
    }
    return PyDict_SetItemString(namespace_, spec.name, function.get());
}

// The class: type("TERVIXWorkMain", (), namespace) with the operations in their fixed order.
Ref make_class(PyObject *module) {
    PyObject *globals = PyModule_GetDict(module); // borrowed: the module keeps it
    Ref module_name = Ref::steal(PyUnicode_FromString("tervix_main"));
    Ref namespace_ = Ref::steal(PyDict_New());
    Ref doc = Ref::steal(PyUnicode_FromString(class_doc));
    Ref defaults = Ref::steal(Py_BuildValue("(sO)", "", Py_True));
    Ref qualname = Ref::steal(PyUnicode_FromString(class_name));
    if (!module_name || !namespace_ || !doc || !defaults || !qualname) return {};
    PyObject *ns = namespace_.get();
    PyObject *name = module_name.get();
    if (PyDict_SetItemString(ns, "__module__", name) < 0 ||
        PyDict_SetItemString(ns, "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns, "__doc__", doc.get()) < 0 ||
        add_operation(ns, name, globals, init_spec, false) < 0 ||
        add_operation(ns, name, globals, json_dumps_spec, true) < 0 ||
        add_operation(ns, name, globals, saas_sign_spec, false, defaults.get()) < 0 ||
        add_operation(ns, name, globals, saas_sign_params_spec, false, defaults.get()) < 0 ||
        add_operation(ns, name, globals, case_review_spec, true) < 0 ||
        add_operation(ns, name, globals, production_demand_spec, true) < 0)
        return {};
    return Ref::steal(
        PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyType_Type), "s()O", class_name, ns));
}

// The namespace: the imports first, in source order, then what the operations keep, the class
// that uses them, and what the fast routes keep of both.
[[nodiscard]] int build(PyObject *module) {
    kernels::select();
    if (bind_import(module, "json") < 0 || bind_import(module, "time") < 0 ||
        bind_import(module, "requests") < 0 ||
        bind_from_import(module, "glimet_crypt", "m_crypt") < 0 ||
        bind_from_import(module, "glimet_curl", "m_curl") < 0 || make_names() < 0)
        return -1;
    Ref cls = make_class(module);
    if (!cls || fast::init(module, cls.get()) < 0) return -1;
    return PyModule_Add(module, "TERVIXWorkMain", cls.release());
}

OnceModule once{.entry = "init tervix_main", .file = GLIMET_SOURCE, .line = __LINE__,
                .build = build};

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
    .m_name = "tervix_main",
    .m_doc = "glimet-work toolkit module.\n\n"
             "Author:  the glimet-work developers\n"
             "Date:    2026-12-07\n"
             "Editor:  any\n"
             "Project: glimet-work\n"
             "File:    tervix_main",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace

const OperationSpec init_spec = {
    .name = "__init__",
    .doc = "TERVIXWorkMain.__init__(self)",
    .text_signature = "(self)",
    .params = {"self"},
    .n_required = 1,
    .impl = init,
    .file = GLIMET_SOURCE,
    .line = __LINE__,
};

} // namespace glimet::tervix

PyMODINIT_FUNC PyInit_tervix_main(void) { return PyModuleDef_Init(&glimet::tervix::module_def); }
