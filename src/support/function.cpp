// The function type: introspection attributes, descriptor binding, vectorcall, argument binding
// with CPython's own error wording, and a traceback entry for every failure.
#include "support/function.hpp"

#include "support/traceback.hpp"

#include <cstddef>

namespace glimet {
namespace {

PyTypeObject *function_type();

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": how CPython lists missing parameters.
Ref name_list(PyObject *const *names, int count) {
    Ref text = Ref::steal(PyUnicode_FromString(""));
    for (int i = 0; text && i < count; ++i) {
        const char *sep = i == 0 ? "" : count == 2 ? " and " : i == count - 1 ? ", and " : ", ";
        text = Ref::steal(PyUnicode_FromFormat("%U%s'%U'", text.get(), sep, names[i]));
    }
    return text;
}

void unexpected_keyword(Function *f, PyObject *keyword) {
    // CPython suggests the closest parameter name; its own matcher is reachable as _suggestions.
    Ref suggestion;
    Ref module = Ref::steal(PyImport_ImportModule("_suggestions"));
    if (module) {
        // Among the names a keyword can give (a list, as the matcher requires).
        Ref names = Ref::steal(PySequence_List(f->param_names));
        if (names)
            names = Ref::steal(PyList_GetSlice(names.get(), f->spec->n_positional_only,
                                               f->spec->params.count));
        if (names)
            suggestion = Ref::steal(PyObject_CallMethod(module.get(), "_generate_suggestions",
                                                        "OO", names.get(), keyword));
    }
    PyErr_Clear();
    if (suggestion && suggestion.get() != Py_None)
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     f->qualname, keyword, suggestion.get());
    else
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                     f->qualname, keyword);
}

// Raises for `keyword`, which matched no parameter that can be given by keyword: CPython names
// every positional-only parameter given by keyword first, when there is one.
void keyword_not_taken(Function *f, PyObject *keyword, PyObject *kwnames) {
    Ref given = Ref::steal(PyList_New(0));
    if (!given) return;
    for (int i = 0; i < f->spec->n_positional_only; ++i) {
        PyObject *name = PyTuple_GET_ITEM(f->param_names, i);
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
            PyObject *other = PyTuple_GET_ITEM(kwnames, k);
            int equal = other == name ? 1 : PyObject_RichCompareBool(name, other, Py_EQ);
            if (equal < 0 || (equal && PyList_Append(given.get(), other) < 0)) return;
        }
    }
    if (PyList_GET_SIZE(given.get()) == 0) return unexpected_keyword(f, keyword);
    Ref comma = Ref::steal(PyUnicode_FromString(", "));
    if (!comma) return;
    Ref listed = Ref::steal(PyUnicode_Join(comma.get(), given.get()));
    if (!listed) return;
    PyErr_Format(PyExc_TypeError,
                 "%U() got some positional-only arguments passed as keyword arguments: '%U'",
                 f->qualname, listed.get());
}

// CPython's wording, keyword-only arguments given by keyword counted as it counts them.
void too_many_positional(Function *f, Py_ssize_t given, int keyword_only_given) {
    const OperationSpec &spec = *f->spec;
    int positional = spec.params.count - spec.n_keyword_only;
    const char *verb = given == 1 && !keyword_only_given ? "was" : "were";
    Ref range = spec.n_required < positional
                    ? Ref::steal(PyUnicode_FromFormat("from %d to %d positional arguments",
                                                      spec.n_required, positional))
                    : Ref::steal(PyUnicode_FromFormat("%d positional argument%s", positional,
                                                      positional == 1 ? "" : "s"));
    Ref also = keyword_only_given
                   ? Ref::steal(PyUnicode_FromFormat(
                         " positional argument%s (and %d keyword-only argument%s)",
                         given == 1 ? "" : "s", keyword_only_given,
                         keyword_only_given == 1 ? "" : "s"))
                   : Ref::steal(PyUnicode_FromString(""));
    if (!range || !also) return;
    PyErr_Format(PyExc_TypeError, "%U() takes %U but %zd%U %s given", f->qualname, range.get(),
                 given, also.get(), verb);
}

// Fills `bound` from a vectorcall, in the order and with the messages of CPython's own
// binding of a Python function: keywords first, then the positional count, then what is missing.
[[nodiscard]] int bind(Function *f, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                       PyObject **bound) {
    const OperationSpec &spec = *f->spec;
    int n_params = spec.params.count, positional = n_params - spec.n_keyword_only;
    for (int i = 0; i < n_params; ++i)
        bound[i] = i < nargs && i < positional ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
            return -1;
        }
        // The interned name itself, as a rule; else equality as CPython tests it, through a
        // str subclass's own __eq__, which may raise. No keyword gives a positional-only one.
        int slot = -1;
        for (int i = spec.n_positional_only; i < n_params && slot < 0; ++i)
            if (PyTuple_GET_ITEM(f->param_names, i) == keyword) slot = i;
        for (int i = spec.n_positional_only; i < n_params && slot < 0; ++i) {
            int equal =
                PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(f->param_names, i), Py_EQ);
            if (equal < 0) return -1;
            if (equal) slot = i;
        }
        if (slot < 0) {
            keyword_not_taken(f, keyword, kwnames);
            return -1;
        }
        if (bound[slot]) {
            PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                         f->qualname, keyword);
            return -1;
        }
        bound[slot] = args[nargs + k];
    }
    if (nargs > positional) {
        int keyword_only_given = 0;
        for (int i = positional; i < n_params; ++i) keyword_only_given += bound[i] != nullptr;
        too_many_positional(f, nargs, keyword_only_given);
        return -1;
    }
    PyObject *missing[max_params];
    int n_missing = 0;
    for (int i = static_cast<int>(nargs); i < spec.n_required; ++i)
        if (!bound[i]) missing[n_missing++] = PyTuple_GET_ITEM(f->param_names, i);
    if (n_missing) {
        Ref names = name_list(missing, n_missing);
        if (!names) return -1;
        PyErr_Format(PyExc_TypeError, "%U() missing %d required positional argument%s: %U",
                     f->qualname, n_missing, n_missing == 1 ? "" : "s", names.get());
        return -1;
    }
    for (int i = spec.n_required; i < n_params; ++i)
        if (!bound[i]) bound[i] = PyTuple_GET_ITEM(f->defaults, i - spec.n_required);
    return 0;
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) noexcept {
    auto *f = reinterpret_cast<Function *>(callable);
    PyObject *bound[max_params];
    PyObject *result = nullptr;
    if (bind(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound) == 0) {
        // The arguments are borrowed from the caller, who keeps them alive for the call.
        result = f->spec->impl(f, bound);
    }
    if (!result) add_traceback(f->trace_code, f->globals);
    return result;
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *self) noexcept {
    auto *f = reinterpret_cast<Function *>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

int function_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    auto *f = reinterpret_cast<Function *>(self);
    Py_VISIT(Py_TYPE(self)); // a heap type, owned by its instances
    Py_VISIT(f->defaults);
    Py_VISIT(f->globals);
    Py_VISIT(f->dict);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    return 0;
}

int function_clear(PyObject *self) noexcept {
    auto *f = reinterpret_cast<Function *>(self);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    return 0;
}

void function_dealloc(PyObject *self) noexcept {
    auto *f = reinterpret_cast<Function *>(self);
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->text_signature);
    Py_CLEAR(f->param_names);
    Py_CLEAR(f->trace_code);
    Py_CLEAR(f->genexpr_code);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

// __defaults__: the positional parameters' defaults; the keyword-only ones are in
// __kwdefaults__, as for a Python function.
PyObject *get_defaults(PyObject *self, void *) noexcept {
    auto *f = reinterpret_cast<Function *>(self);
    int keyword_only = f->spec->n_keyword_only;
    if (!f->defaults || PyTuple_GET_SIZE(f->defaults) == keyword_only) Py_RETURN_NONE;
    if (keyword_only == 0) return Py_NewRef(f->defaults);
    return PyTuple_GetSlice(f->defaults, 0, PyTuple_GET_SIZE(f->defaults) - keyword_only);
}

PyObject *get_kwdefaults(PyObject *self, void *) noexcept {
    auto *f = reinterpret_cast<Function *>(self);
    const OperationSpec &spec = *f->spec;
    if (spec.n_keyword_only == 0) Py_RETURN_NONE;
    Ref kwdefaults = Ref::steal(PyDict_New());
    if (!kwdefaults) return nullptr;
    Py_ssize_t first = PyTuple_GET_SIZE(f->defaults) - spec.n_keyword_only;
    for (int i = 0; i < spec.n_keyword_only; ++i) {
        PyObject *name =
            PyTuple_GET_ITEM(f->param_names, spec.params.count - spec.n_keyword_only + i);
        if (PyDict_SetItem(kwdefaults.get(), name, PyTuple_GET_ITEM(f->defaults, first + i)) < 0)
            return nullptr;
    }
    return kwdefaults.release();
}

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(Function, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Function, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Function, module), 0, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(Function, doc), 0, nullptr},
    {"__text_signature__", Py_T_OBJECT_EX, offsetof(Function, text_signature), Py_READONLY,
     nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Function, weakreflist), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(Function, dict), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Function, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    .name = "glimet_work.function",
    .basicsize = sizeof(Function),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = function_slots,
};

// One type per shared object, made on first use and kept for the process (the module that
// uses it lives in one interpreter only).
PyTypeObject *function_type() {
    static PyObject *type = nullptr;
    if (!type) type = PyType_FromSpec(&function_spec);
    return reinterpret_cast<PyTypeObject *>(type);
}

// A code object for traceback entries named `name` (a str) at the operation's source line.
PyObject *entry_code(const OperationSpec &spec, PyObject *name) {
    const char *text = PyUnicode_AsUTF8(name);
    return text ? reinterpret_cast<PyObject *>(PyCode_NewEmpty(spec.file, text, spec.line))
                : nullptr;
}

} // namespace

Ref function_new(const OperationSpec &spec, const char *class_name, PyObject *module_name,
                 PyObject *globals, PyObject *defaults) {
    PyTypeObject *type = function_type();
    if (!type) return {};
    Ref names = Ref::steal(PyTuple_New(spec.params.count));
    if (!names) return {};
    for (int i = 0; i < spec.params.count; ++i) {
        PyObject *name = PyUnicode_InternFromString(spec.params.names[i]);
        if (!name) return {};
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    // The names derived from the operation's own: "TERVIXWorkMain._json_dumps", and the
    // traceback entry "tervix_main.TERVIXWorkMain._json_dumps".
    Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
    Ref qualname = class_name
                       ? Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, spec.name))
                       : Ref::borrow(name.get());
    if (!name || !qualname) return {};
    Ref trace_name = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name, qualname.get()));
    if (!trace_name) return {};
    Ref trace_code = Ref::steal(entry_code(spec, trace_name.get()));
    Ref doc = Ref::steal(PyUnicode_FromString(spec.doc));
    Ref text_signature = Ref::steal(PyUnicode_FromString(spec.text_signature));
    if (!trace_code || !doc || !text_signature) return {};

    auto *f = PyObject_GC_New(Function, type);
    if (!f) return {};
    f->vectorcall = function_vectorcall;
    f->spec = &spec;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module_name);
    f->doc = doc.release();
    f->text_signature = text_signature.release();
    f->defaults = Py_XNewRef(defaults);
    f->globals = Py_NewRef(globals);
    f->param_names = names.release();
    f->trace_code = trace_code.release();
    f->genexpr_code = nullptr;
    f->dict = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject *>(f));
}

void add_genexpr_traceback(Function *f) noexcept {
    if (!f->genexpr_code) {
        // Made with no exception set; an entry that cannot be made is left out.
        PyObject *exc = PyErr_GetRaisedException();
        Ref name = Ref::steal(PyUnicode_FromFormat("%U.%U.genexpr", f->module, f->qualname));
        if (name) f->genexpr_code = entry_code(*f->spec, name.get());
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
    }
    if (f->genexpr_code) add_traceback(f->genexpr_code, f->globals);
}

} // namespace glimet
