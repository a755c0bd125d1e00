// glimet_work._functions: the toolkit's operations as plain functions of the package (sign,
// sign_params, dumps, notice). Each runs the operation's own code, on an instance made here,
// and looks json, time and m_crypt up in tervix_main's namespace as the operation does.
#include "support/module.hpp"
#include "tervix_main/fast/routes.hpp"
#include "tervix_main/operations.hpp"

namespace glimet::functions {
namespace {

// The instance the signers run on, as they run on a script's GlimetWorkMain: made at import,
// holding no state, kept for the process.
PyObject *instance = nullptr;

PyObject *sign(Function *self, PyObject *const *args) {
    PyObject *operation_args[] = {instance, args[0], args[1], args[2]};
    return tervix::saas_sign_spec.impl(self, operation_args);
}

// The operation itself when echo is true, so that it prints as it always does.
PyObject *sign_params(Function *self, PyObject *const *args) {
    int echo = PyObject_IsTrue(args[3]);
    if (echo < 0) return nullptr;
    PyObject *operation_args[] = {instance, args[0], args[1], args[2]};
    return echo ? tervix::saas_sign_params_spec.impl(self, operation_args)
                : tervix::saas_sign_params_quietly(self, operation_args);
}

PyObject *dumps(Function *self, PyObject *const *args) {
    return tervix::json_dumps_spec.impl(self, args);
}

PyObject *notice(Function *self, PyObject *const *args) {
    return tervix::production_demand_spec.impl(self, args);
}

const OperationSpec sign_spec = {
    .name = "sign",
    .doc = "sign(data, env='', update_time=True)\n"
           "Signs a SaaS request body and returns a signed copy, keys in sorted order.\n"
           "\n"
           "Changes `data` itself: stamps the current time in milliseconds under\n"
           "\"saas_sign_timespan\" (with `update_time` false, only when that entry is missing\n"
           "or false) and removes any \"saas_sign\". The copy ends with \"saas_sign\": the\n"
           "upper-case SHA-256 of \"key=value&...\" over the sorted entries (dicts and lists\n"
           "as compact JSON) followed by the signing constant of `env` (exactly \"prod\"\n"
           "selects the production one, any other value the default one). Prints nothing.\n"
           "The same as GlimetWorkMain()._tervix_saas_sign(data, env, update_time).",
    .text_signature = "(data, env='', update_time=True)",
    .params = {"data", "env", "update_time"},
    .n_required = 1,
    .impl = sign,
    .file = GLIMET_SOURCE,
    .line = __LINE__,
};

const OperationSpec sign_params_spec = {
    .name = "sign_params",
    .doc = "sign_params(params, env='', update_time=True, *, echo=True)\n"
           "Signs SaaS query parameters in place and returns `params` itself.\n"
           "\n"
           "Stamps the current time in milliseconds under \"saas_sign_timespan\" (with\n"
           "`update_time` false, only when that entry is missing or false), removes any\n"
           "\"saas_sign\", then adds \"saas_sign\": the upper-case SHA-256 of\n"
           "'key=[\"value\"]&...' over the sorted entries followed by the signing constant of\n"
           "`env` (exactly \"prod\" selects the production one). With `echo` true it prints\n"
           "that signed text on one line, as GlimetWorkMain()._tervix_saas_sign_params does;\n"
           "with `echo` false it prints nothing.",
    .text_signature = "(params, env='', update_time=True, *, echo=True)",
    .params = {"params", "env", "update_time", "echo"},
    .n_required = 1,
    .impl = sign_params,
    .file = GLIMET_SOURCE,
    .line = __LINE__,
    .n_keyword_only = 1,
};

const OperationSpec dumps_spec = {
    .name = "dumps",
    .doc = "dumps(value)\n"
           "Returns `value` as compact JSON text: separators \",\" and \":\", non-ASCII kept as\n"
           "is, dict members in their order; what json.dumps(value, separators=(\",\", \":\"),\n"
           "ensure_ascii=False) returns. The same as GlimetWorkMain._json_dumps(value).",
    .text_signature = "(value)",
    .params = {"value"},
    .n_required = 1,
    .impl = dumps,
    .file = GLIMET_SOURCE,
    .line = __LINE__,
};

const OperationSpec notice_spec = {
    .name = "notice",
    .doc = "notice(text)\n"
           "Prints a numbered production-demand notice from a pasted list; returns None.\n"
           "\n"
           "`text` holds one \"【title】http...\" per line. Prints \"投产需求：\", then one line\n"
           "per line of the trimmed text, \"<n>、<title>\", a blank line included. The same as\n"
           "GlimetWorkMain._tervix_test_production_demand(text).",
    .text_signature = "(text)",
    .params = {"text"},
    .n_required = 1,
    .impl = notice,
    .file = GLIMET_SOURCE,
    .line = __LINE__,
};

// The namespace: the instance, what the operations' code keeps of tervix_main, and the four
// functions.
[[nodiscard]] int build(PyObject *module) {
    Ref toolkit = Ref::steal(PyImport_ImportModule("glimet_work.tervix_main"));
    if (!toolkit) return -1;
    Ref cls = Ref::steal(PyObject_GetAttrString(toolkit.get(), "TERVIXWorkMain"));
    if (!cls) return -1;
    if (!instance) instance = PyObject_CallNoArgs(cls.get());
    if (!instance || tervix::make_names() < 0 || tervix::fast::init(toolkit.get(), cls.get()) < 0)
        return -1;
    PyObject *globals = PyModule_GetDict(toolkit.get()); // borrowed: tervix_main keeps it
    Ref package = Ref::steal(PyUnicode_FromString("glimet_work"));
    Ref defaults = Ref::steal(Py_BuildValue("(sO)", "", Py_True));
    Ref echo_defaults = Ref::steal(Py_BuildValue("(sOO)", "", Py_True, Py_True));
    if (!package || !defaults || !echo_defaults) return -1;
    const struct {
        const OperationSpec &spec;
        PyObject *defaults;
    } made[] = {{sign_spec, defaults.get()},
                {sign_params_spec, echo_defaults.get()},
                {dumps_spec, nullptr},
                {notice_spec, nullptr}};
    for (const auto &[spec, spec_defaults] : made) {
        Ref function = function_new(spec, nullptr, package.get(), globals, spec_defaults);
        if (!function || PyModule_Add(module, spec.name, function.release()) < 0) return -1;
    }
    return 0;
}

OnceModule once{.entry = "init glimet_work._functions", .file = GLIMET_SOURCE, .line = __LINE__,
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
    .m_name = "_functions",
    .m_doc = "The toolkit's operations as the package's functions; import them from glimet_work.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace
} // namespace glimet::functions

PyMODINIT_FUNC PyInit__functions(void) { return PyModuleDef_Init(&glimet::functions::module_def); }
