// The toolkit's kept names and objects, each beside its value.
#include "tervix_main/names.hpp"

#include "support/module.hpp"
#include "tervix_main/release.hpp"

namespace glimet::tervix {

Names names;

namespace {

// The attribute `name` of the builtins module, as it is now.
PyObject *builtin(const char *name) {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    return builtins ? PyObject_GetAttrString(builtins.get(), name) : nullptr;
}

// The namespace of the interpreter's sys module, where it looks for the unraisable hook.
PyObject *sys_namespace() {
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    PyObject *namespace_ = sys ? PyModule_GetDict(sys.get()) : nullptr; // a non-module fails
    return Py_XNewRef(namespace_);
}

// In the order they are made: the tuples are made of the names.
const KeptRow<Names> kept[] = {
    {&Names::json, "json"},
    {&Names::time, "time"},
    {&Names::requests, "requests"},
    {&Names::m_crypt, "m_crypt"},
    {&Names::m_curl, "m_curl"},
    {&Names::print, "print"},
    {&Names::dumps, "dumps"},
    {&Names::sha256, "sha256"},
    {&Names::json_dumps, "_json_dumps"},
    {&Names::get, "get"},
    {&Names::pop, "pop"},
    {&Names::update, "update"},
    {&Names::items, "items"},
    {&Names::parse, "parse"},
    {&Names::dict, "dict"},
    {&Names::request, "request"},
    {&Names::text, "text"},
    {&Names::format, "format"},
    {&Names::status_code, "status_code"},
    {&Names::headers, "headers"},
    {&Names::strip, "strip"},
    {&Names::split, "split"},
    {&Names::replace, "replace"},
    {&Names::lower, "lower"},
    {&Names::exc_value, "exc_value"},
    {&Names::unraisablehook, "unraisablehook"},
    {&Names::timespan_key, "saas_sign_timespan"},
    {&Names::sign_key, "saas_sign"},
    {&Names::upper, "upper"},
    {&Names::empty, ""},
    {&Names::prod, "prod"},
    {&Names::heading, "投产需求："},
    {&Names::line_feed, "\n"},
    {&Names::title_end, "】http"},
    {&Names::title_start, "【"},
    {&Names::number_separator, "、"},
    {&Names::thousand, [] { return PyLong_FromLong(1000); }},
    {&Names::timespan_kwnames, [] { return PyTuple_Pack(1, names.timespan_key); }},
    {&Names::sign_kwnames, [] { return PyTuple_Pack(1, names.sign_key); }},
    {&Names::ensure_ascii_kwnames, [] { return Py_BuildValue("(s)", "ensure_ascii"); }},
    {&Names::dumps_kwnames, [] { return Py_BuildValue("(ss)", "separators", "ensure_ascii"); }},
    {&Names::page_kwnames, [] { return Py_BuildValue("(s)", "page"); }},
    {&Names::separators, [] { return Py_BuildValue("(ss)", ",", ":"); }},
    {&Names::dict_or_list,
     [] {
         return PyTuple_Pack(2, reinterpret_cast<PyObject *>(&PyDict_Type),
                             reinterpret_cast<PyObject *>(&PyList_Type));
     }},
    {&Names::builtin_print, [] { return builtin("print"); }},
    {&Names::builtin_range, [] { return builtin("range"); }},
    {&Names::sys_namespace, sys_namespace},
    {&Names::unraisable_hook, [] { return PyCFunction_New(&unraisable_hook_def, nullptr); }},
};

} // namespace

int make_names() { return make_kept(names, kept); }

} // namespace glimet::tervix
