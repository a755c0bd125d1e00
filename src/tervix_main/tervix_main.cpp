// The toolkit module: its imports, the class TERVIXWorkMain and the module definition.
#include "kernels/kernels.hpp"
#include "support/module.hpp"
#include "support/traceback.hpp"
#include "tervix_main/fast/routes.hpp"
#include "tervix_main/names.hpp"
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

OnceModule once;

int module_exec(PyObject *module) noexcept {
    if (already_executed(module, once)) return 0;
    kernels::select();
    // Imports first, in source order, then the class that uses them, then what the fast
    // routes keep of both.
    if (bind_import(module, "json") < 0 || bind_import(module, "time") < 0 ||
        bind_import(module, "requests") < 0 ||
        bind_from_import(module, "glimet_crypt", "m_crypt") < 0 ||
        bind_from_import(module, "glimet_curl", "m_curl") < 0 || names::make() < 0 ||
        review_init() < 0 || notice_init() < 0) {
        add_traceback("init tervix_main", GLIMET_SOURCE, __LINE__, PyModule_GetDict(module));
        return -1;
    }
    Ref cls = make_class(module);
    if (!cls || fast::init(module, cls.get()) < 0 ||
        PyModule_Add(module, "TERVIXWorkMain", cls.release()) < 0) {
        add_traceback("init tervix_main", GLIMET_SOURCE, __LINE__, PyModule_GetDict(module));
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
    "tervix_main",
    "glimet-work toolkit module.\n\n"
    "Author:  the glimet-work developers\n"
    "Date:    2026-12-07\n"
    "Editor:  any\n"
    "Project: glimet-work\n"
    "File:    tervix_main",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
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
