// TERVIXWorkMain._json_dumps: compact JSON through the module's `json`.
#include "support/traceback.hpp"
#include "tervix_main/compact_json.hpp"
#include "tervix_main/operations.hpp"
#include "support/internals.hpp"

#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string>

namespace glimet::tervix {
namespace {

Name json_name{"json"};
Name dumps_name{"dumps"};
PyObject *separators = nullptr;    // (",", ":"), shared by every call
PyObject *dumps_kwnames = nullptr; // ("separators", "ensure_ascii")

// The standard encoder is judged against the interpreter's own objects, never against what
// stood in the json modules when this module was imported: the json package's code as its own
// files define it, its documented keyword defaults, and the built-in functions and types of
// the interpreter and of its _json accelerator, recognised by where they were defined. Every
// check runs no Python code: dicts are read only once they are known to hold only str keys.

// Whether every key of `dict` is an exact str, so that looking a str up in it runs no Python
// code (a key of another type with the same hash would be compared through its own __eq__).
bool str_keys_only(PyObject *dict) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// namespace_[key] (borrowed: the namespace holds it), or null; `namespace_` holds only str keys.
PyObject *entry(PyObject *namespace_, const char *key) {
    PyObject *value = PyDict_GetItemString(namespace_, key); // no error for a str key here
    return value;
}

// Whether `function` is the built-in function `name` of the C module `module`: the method
// table of the module's own definition holds it, which Python code cannot imitate.
bool is_builtin(PyObject *function, const char *module, const char *name) {
    if (!PyCFunction_Check(function)) return false;
    PyObject *owner = PyCFunction_GET_SELF(function);
    if (!owner || !PyModule_Check(owner)) return false;
    PyModuleDef *def = PyModule_GetDef(owner);
    if (!def || std::strcmp(def->m_name, module) != 0) return false;
    const PyMethodDef *method = reinterpret_cast<PyCFunctionObject *>(function)->m_ml;
    for (const PyMethodDef *m = def->m_methods; m && m->ml_name; ++m)
        if (m == method) return std::strcmp(m->ml_name, name) == 0;
    return false;
}

// Whether `type`'s own namespace holds nothing but entries named in `allowed`.
bool only_entries(PyObject *namespace_, std::initializer_list<const char *> allowed) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(namespace_, &position, &key, &value)) {
        bool known = false;
        for (const char *name : allowed) known = known || PyUnicode_EqualToUTF8(key, name);
        if (!known) return false;
    }
    return true;
}

// Whether `type` is the _json accelerator's encoder type, as it was made: a C type (its
// __new__ and __call__ are its own slots) to which no Python code has been attached.
bool is_accelerator_encoder(PyObject *candidate) {
    if (!Py_IS_TYPE(candidate, &PyType_Type)) return false;
    auto *type = reinterpret_cast<PyTypeObject *>(candidate);
    if (std::strcmp(type->tp_name, "_json.Encoder") != 0 || PyTuple_GET_SIZE(type->tp_mro) != 2 ||
        PyTuple_GET_ITEM(type->tp_mro, 1) != reinterpret_cast<PyObject *>(&PyBaseObject_Type))
        return false;
    Ref namespace_ = Ref::steal(PyType_GetDict(type));
    if (!namespace_ || !str_keys_only(namespace_.get()) ||
        !only_entries(namespace_.get(), {"__new__", "__call__", "__doc__", "__module__", "markers",
                                         "default", "encoder", "indent", "key_separator",
                                         "item_separator", "sort_keys", "skipkeys"}))
        return false;
    PyObject *make = entry(namespace_.get(), "__new__");
    PyObject *call = entry(namespace_.get(), "__call__");
    return make && PyCFunction_Check(make) && PyCFunction_GET_SELF(make) == candidate && call &&
           Py_IS_TYPE(call, &PyWrapperDescr_Type) && PyDescr_TYPE(call) == type;
}

// The json package's own code objects for what json.dumps runs, read through the package's
// loader from its files when this module loads; null where they could not be had, which
// leaves the fast route off.
struct ReferenceCode {
    PyObject *dumps = nullptr;
    PyObject *methods[3] = {}; // JSONEncoder.__init__, .encode, .iterencode
} reference;
constexpr const char *method_names[3] = {"__init__", "encode", "iterencode"};

// The code object named `qualname` within `code`, searched through the code objects among
// its constants; null when there is none.
PyObject *nested_code(PyObject *code, const char *qualname) {
    auto *co = reinterpret_cast<PyCodeObject *>(code);
    if (PyUnicode_EqualToUTF8(co->co_qualname, qualname)) return code;
    PyObject *constants = co->co_consts;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants); ++i) {
        PyObject *constant = PyTuple_GET_ITEM(constants, i);
        if (!PyCode_Check(constant)) continue;
        if (PyObject *found = nested_code(constant, qualname)) return found;
    }
    return nullptr;
}

// The code of module `name` as its loader reads it from the module's own file.
Ref module_code(const char *name) {
    Ref module = Ref::steal(PyImport_ImportModule(name));
    if (!module) return {};
    Ref spec = Ref::steal(PyObject_GetAttrString(module.get(), "__spec__"));
    if (!spec) return {};
    Ref loader = Ref::steal(PyObject_GetAttrString(spec.get(), "loader"));
    if (!loader) return {};
    Ref code = Ref::steal(PyObject_CallMethod(loader.get(), "get_code", "s", name));
    if (code && !PyCode_Check(code.get())) return {};
    return code;
}

// Reads the reference code; without it the fast route stays off, and nothing else changes.
void read_reference_code() {
    Ref package = module_code("json");
    Ref encoder = module_code("json.encoder");
    PyErr_Clear();
    if (!package || !encoder) return;
    reference.dumps = Py_XNewRef(nested_code(package.get(), "dumps"));
    for (int i = 0; i < 3; ++i) {
        std::string qualname = std::string("JSONEncoder.") + method_names[i];
        reference.methods[i] = Py_XNewRef(nested_code(encoder.get(), qualname.c_str()));
    }
}

// Set when a check could not be finished, which it then tries again on the next call.
bool check_unfinished = false;

// Whether `function` is a plain function with the reference code `code`, no defaults that the
// call relies on, and no closure.
bool runs_reference_code(PyObject *function, PyObject *code) {
    if (!code || !PyFunction_Check(function) || PyFunction_GET_CLOSURE(function)) return false;
    int equal = PyObject_RichCompareBool(PyFunction_GET_CODE(function), code, Py_EQ);
    if (equal < 0) { // out of memory or of recursion budget: no answer, so ask again next time
        PyErr_Clear();
        check_unfinished = true;
    }
    return equal > 0;
}

// Whether json.dumps's keyword defaults are the documented ones.
bool standard_keyword_defaults(PyObject *defaults) {
    static const struct {
        const char *name;
        PyObject *value;
    } expected[] = {{"skipkeys", Py_False}, {"ensure_ascii", Py_True},
                    {"check_circular", Py_True}, {"allow_nan", Py_True},
                    {"cls", Py_None}, {"indent", Py_None},
                    {"separators", Py_None}, {"default", Py_None},
                    {"sort_keys", Py_False}};
    if (!defaults || !PyDict_CheckExact(defaults) || !str_keys_only(defaults) ||
        PyDict_GET_SIZE(defaults) != std::ssize(expected))
        return false;
    for (const auto &[name, value] : expected)
        if (entry(defaults, name) != value) return false;
    return true;
}

// What the last full check found, held so that the comparisons of addresses on each call
// compare these objects and no others that came to lie at the same addresses. Raw pointers:
// kept for the process, never released by a destructor after the interpreter has gone.
struct InPlace {
    PyObject *json = nullptr;   // the module judged
    PyObject *dumps = nullptr;  // its dumps, and that function's code and keyword defaults
    PyObject *dumps_code = nullptr;
    PyObject *dumps_kwdefaults = nullptr;
    PyObject *methods[3] = {};  // JSONEncoder.__init__, .encode, .iterencode and their code
    PyObject *method_codes[3] = {};
    bool standard = false;      // what the check found
} in_place;

// Makes `slot` hold `object` (or nothing), letting go of what it held.
void hold(PyObject *&slot, PyObject *object) { Py_XSETREF(slot, Py_XNewRef(object)); }

// The namespaces and classes the check reads are watched, and so is this module's own
// namespace: `changed` is set whenever one of them changes, and the full check runs again
// only then. A watcher that cannot be had leaves `changed` set for good, which costs speed
// and nothing else.
bool changed = true;
int namespace_watcher = -1, class_watcher = -1;
PyObject *module_namespace = nullptr; // tervix_main's, where `json` is looked up; held
bool module_namespace_plain = false;  // whether it holds only str keys, as last checked

int on_namespace_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept {
    changed = true;
    return 0;
}

int on_class_change(PyTypeObject *) noexcept {
    changed = true;
    return 0;
}

// Watches `dict`; false when it cannot be watched.
bool watch(PyObject *dict) {
    if (namespace_watcher >= 0 && PyDict_Watch(namespace_watcher, dict) == 0) return true;
    PyErr_Clear();
    return false;
}

// Watches `type`, which reports changes only while it holds a version tag.
bool watch(PyTypeObject *type) {
    if (class_watcher < 0 || PyType_Watch(class_watcher, reinterpret_cast<PyObject *>(type)) < 0) {
        PyErr_Clear();
        return false;
    }
    return internals::type_version(type) != 0;
}

// Whether `json` is the standard json module with json.dumps(value, separators=(",", ":"),
// ensure_ascii=False) running the json package's own code through to the accelerator's
// encoder, with no Python code of anyone else's on the way. Also watches what it reads;
// `watched` turns false when something could not be watched.
bool check_standard(PyObject *json, bool &watched) {
    // json.dumps, found in the module's namespace as getattr on an exact module finds it.
    if (!Py_IS_TYPE(json, &PyModule_Type)) return false;
    PyObject *json_namespace = PyModule_GetDict(json);
    watched = watch(json_namespace) && watched;
    if (!str_keys_only(json_namespace)) return false;
    PyObject *dumps = entry(json_namespace, "dumps");
    if (!dumps || !runs_reference_code(dumps, reference.dumps) ||
        PyFunction_GET_DEFAULTS(dumps))
        return false;
    PyObject *kwdefaults = PyFunction_GET_KW_DEFAULTS(dumps);
    if (kwdefaults) watched = watch(kwdefaults) && watched;
    if (!standard_keyword_defaults(kwdefaults)) return false;

    // The encoder class dumps calls: JSONEncoder itself, instances made and read by
    // object's own slots, its methods the package's own.
    PyObject *dumps_globals = PyFunction_GET_GLOBALS(dumps);
    watched = watch(dumps_globals) && watched;
    if (!str_keys_only(dumps_globals)) return false;
    PyObject *encoder_class = entry(dumps_globals, "JSONEncoder");
    if (!encoder_class || !Py_IS_TYPE(encoder_class, &PyType_Type)) return false;
    auto *encoder_type = reinterpret_cast<PyTypeObject *>(encoder_class);
    watched = watch(encoder_type) && watched;
    if (PyTuple_GET_SIZE(encoder_type->tp_mro) != 2 ||
        PyTuple_GET_ITEM(encoder_type->tp_mro, 1) != reinterpret_cast<PyObject *>(&PyBaseObject_Type))
        return false;
    // The slots too: a __new__ once set and deleted leaves its slot behind.
    if (encoder_type->tp_new != PyBaseObject_Type.tp_new ||
        encoder_type->tp_getattro != PyObject_GenericGetAttr ||
        encoder_type->tp_setattro != PyObject_GenericSetAttr || encoder_type->tp_finalize)
        return false;
    Ref class_namespace = Ref::steal(PyType_GetDict(encoder_type));
    if (!class_namespace || !str_keys_only(class_namespace.get()) ||
        !only_entries(class_namespace.get(),
                      {"__module__", "__qualname__", "__firstlineno__", "__doc__",
                       "__static_attributes__", "__dict__", "__weakref__", "item_separator",
                       "key_separator", "__init__", "default", "encode", "iterencode"}))
        return false;
    for (const char *separator : {"item_separator", "key_separator"}) {
        PyObject *value = entry(class_namespace.get(), separator);
        if (value && !PyUnicode_CheckExact(value)) return false; // not a descriptor
    }
    PyObject *default_method = entry(class_namespace.get(), "default");
    if (!default_method || !PyFunction_Check(default_method)) return false;
    PyObject *methods[3];
    for (int i = 0; i < 3; ++i) {
        methods[i] = entry(class_namespace.get(), method_names[i]);
        if (!methods[i] || !runs_reference_code(methods[i], reference.methods[i])) return false;
    }

    // The names the methods read: the module's own helpers and the interpreter's built-ins.
    PyObject *encoder_globals = PyFunction_GET_GLOBALS(methods[1]);
    Ref builtins = Ref::steal(PyObject_GetAttrString(methods[1], "__builtins__"));
    if (!builtins) {
        PyErr_Clear();
        return false;
    }
    for (PyObject *method : methods) {
        Ref own_builtins = Ref::steal(PyObject_GetAttrString(method, "__builtins__"));
        PyErr_Clear();
        if (PyFunction_GET_GLOBALS(method) != encoder_globals || own_builtins.get() != builtins.get())
            return false;
    }
    watched = watch(encoder_globals) && watched;
    watched = PyDict_Check(builtins.get()) && watch(builtins.get()) && watched;
    if (!str_keys_only(encoder_globals) || !PyDict_Check(builtins.get()) ||
        !str_keys_only(builtins.get()))
        return false;
    static const struct {
        const char *name;
        PyTypeObject *type;
    } builtin_types[] = {{"str", &PyUnicode_Type}, {"list", &PyList_Type},
                         {"tuple", &PyTuple_Type}, {"float", &PyFloat_Type}};
    for (const auto &[name, type] : builtin_types)
        if (entry(encoder_globals, name) ||
            entry(builtins.get(), name) != reinterpret_cast<PyObject *>(type))
            return false;
    PyObject *isinstance = entry(builtins.get(), "isinstance");
    PyObject *infinity = entry(encoder_globals, "INFINITY");
    PyObject *encode_string = entry(encoder_globals, "encode_basestring");
    PyObject *make_encoder = entry(encoder_globals, "c_make_encoder");
    if (entry(encoder_globals, "isinstance") || !isinstance ||
        !is_builtin(isinstance, "builtins", "isinstance") || !infinity ||
        !PyFloat_CheckExact(infinity) || !encode_string ||
        !is_builtin(encode_string, "_json", "encode_basestring") || !make_encoder)
        return false;
    watched = watch(reinterpret_cast<PyTypeObject *>(make_encoder)) && watched;
    if (!is_accelerator_encoder(make_encoder)) return false;

    // Found in place: held, with what each call compares.
    hold(in_place.dumps, dumps);
    hold(in_place.dumps_code, PyFunction_GET_CODE(dumps));
    hold(in_place.dumps_kwdefaults, kwdefaults);
    for (int i = 0; i < 3; ++i) {
        hold(in_place.methods[i], methods[i]);
        hold(in_place.method_codes[i], PyFunction_GET_CODE(methods[i]));
    }
    return true;
}

// Whether a function the last check found in place has had its code or keyword defaults
// replaced since: function objects are not watched.
bool functions_changed() {
    if (PyFunction_GET_CODE(in_place.dumps) != in_place.dumps_code ||
        PyFunction_GET_KW_DEFAULTS(in_place.dumps) != in_place.dumps_kwdefaults)
        return true;
    for (int i = 0; i < 3; ++i)
        if (PyFunction_GET_CODE(in_place.methods[i]) != in_place.method_codes[i]) return true;
    return false;
}

// Whether `json` is the standard json module with its encoder as the interpreter made it;
// runs the full check again only when something it read has changed.
bool is_standard(PyObject *json) {
    if (changed || json != in_place.json ||
        (in_place.standard && functions_changed())) {
        bool watched = namespace_watcher >= 0 && watch(module_namespace);
        module_namespace_plain = str_keys_only(module_namespace);
        hold(in_place.json, json);
        check_unfinished = false;
        in_place.standard = check_standard(json, watched);
        changed = !watched || check_unfinished;
    }
    return in_place.standard && !internals::traced();
}

// _json_dumps(data): the text written into `out` (and `written` set) when it can be had
// without the encoder, else the encoder's result, or null with an exception set.
Ref dumps_into(PyObject *globals, PyObject *data, TextBuilder &out, bool &written) {
    written = false;

    // The encoder: whatever `json` is bound to now.
    Ref json = lookup_global(globals, json_name.get());
    if (!json) return {};
    Ref dumps;
    if (is_standard(json.get())) {
        // Plain values under the standard encoder: the text written directly.
        TextBuilder::Mark start = out.mark();
        if (write_compact_json(out, data) == FastJson::done) {
            written = true;
            return {};
        }
        out.rewind(start);
    }
    dumps = Ref::steal(PyObject_GetAttr(json.get(), dumps_name.get()));
    if (!dumps) return {};

    // The text, returned as the encoder made it.
    PyObject *call_args[] = {data, separators, Py_False};
    return Ref::steal(PyObject_Vectorcall(dumps.get(), call_args, 1, dumps_kwnames));
}

// Returns json.dumps(data, separators=(",", ":"), ensure_ascii=False) with `json` looked up
// in the module namespace on each call.
PyObject *json_dumps(Function *self, PyObject *const *args) {
    TextBuilder out;
    bool written = false;
    Ref result = dumps_into(self->globals, args[0], out, written);
    return written ? out.finish().release() : result.release();
}

} // namespace

PyObject *json_dumps_operation = nullptr;

bool json_is_standard(PyObject *json) { return is_standard(json); }


bool json_fast_path_open(PyObject *globals) {
    if (globals != module_namespace) return false;
    return changed ? str_keys_only(globals) : module_namespace_plain;
}

Ref json_dumps_into(PyObject *globals, PyObject *value, TextBuilder &out, bool &written) {
    Ref result = dumps_into(globals, value, out, written);
    if (!written && !result)
        add_traceback(json_dumps_spec.trace_name, json_dumps_spec.file, json_dumps_spec.line,
                      globals);
    return result;
}

int json_dumps_init(PyObject *module) {
    // A module made again after a failed import replaces the namespace kept before.
    PyObject *namespace_ = PyModule_GetDict(module);
    if (namespace_ != module_namespace) {
        Py_XSETREF(module_namespace, Py_NewRef(namespace_));
        changed = true;
    }
    if (separators) return 0;
    if (make_names({&json_name, &dumps_name}) < 0) return -1;
    separators = Py_BuildValue("(ss)", ",", ":");
    dumps_kwnames = Py_BuildValue("(ss)", "separators", "ensure_ascii");
    if (!separators || !dumps_kwnames) return -1;
    read_reference_code();
    namespace_watcher = PyDict_AddWatcher(on_namespace_change);
    class_watcher = PyType_AddWatcher(on_class_change);
    PyErr_Clear(); // without watchers, every call checks in full
    return 0;
}

const OperationSpec json_dumps_spec = {
    "_json_dumps",
    "TERVIXWorkMain._json_dumps",
    "tervix_main.TERVIXWorkMain._json_dumps",
    "TERVIXWorkMain._json_dumps(data)\n"
    "将数据转换为 JSON 格式的字符串。\n"
    "\n"
    ":param data: 要转换的数据\n"
    ":return: JSON 格式的字符串",
    "(data)",
    {"data"},
    1,
    1,
    json_dumps,
    GLIMET_SOURCE,
    __LINE__,
};

} // namespace glimet::tervix
