// The guards, and every object they keep: what they compare against is captured in one
// place (`own`, below) while the module loads, and what the standard-encoder guard last found
// in place is held beside it.
#include "tervix_main/fast/guards.hpp"

#include "support/internals.hpp"
#include "tervix_main/names.hpp"

#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string>

namespace glimet::tervix::fast {
namespace {

constexpr const char *method_names[3] = {"__init__", "encode", "iterencode"};

// Everything the guards keep from the module's import, for the process (raw pointers: never
// released by a destructor after the interpreter has gone).
struct Own {
    PyObject *module_namespace = nullptr;  // tervix_main's, where `json` is looked up
    PyObject *json_dumps = nullptr;        // the class's _json_dumps operation
    PyObject *json_dumps_static = nullptr; // and the staticmethod the class holds it in
    const CryptApi *crypt = nullptr;       // glimet_crypt's, from its capsule
    // The json package's own code for json.dumps and JSONEncoder.__init__, .encode and
    // .iterencode, read through its loader from its files.
    PyObject *dumps_code = nullptr;
    PyObject *method_codes[3] = {};
} own;

// Whether every key of `dict` is an exact str, so that looking a str up in it runs no Python
// code (a key of another type with the same hash would be compared through its own __eq__).
bool str_keys_only(PyObject *dict) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

// namespace_[key], borrowed (the namespace holds it, and no Python code runs while it is
// used), or null. `namespace_` holds only str keys, so the lookup runs no Python code.
PyObject *entry(PyObject *namespace_, PyObject *key) {
    PyObject *value = PyDict_GetItemWithError(namespace_, key);
    if (!value) PyErr_Clear(); // absent, or no memory for the key's hash: not there either way
    return value;
}

// Set when a check could not be finished, which it then tries again on the next call: a
// check that ran out of memory has no answer, and one that found nothing only for want of
// memory would otherwise be kept until what it read changes.
bool check_unfinished = false;

PyObject *entry(PyObject *namespace_, const char *key) {
    Ref name = Ref::steal(PyUnicode_FromString(key));
    if (!name) {
        PyErr_Clear();
        check_unfinished = true;
        return nullptr;
    }
    return entry(namespace_, name.get());
}

// The C function of the built-in function `name` in the method table of the C module
// `module`'s own definition, found through `function`'s module; null when `function` is not a
// built-in of that module. A function made from that table entry runs that C function, which
// Python code cannot make another run.
PyCFunction builtin_code(PyObject *function, const char *module, const char *name) {
    if (!PyCFunction_Check(function)) return nullptr;
    PyObject *owner = PyCFunction_GET_SELF(function);
    if (!owner || !PyModule_Check(owner)) return nullptr;
    PyModuleDef *def = PyModule_GetDef(owner);
    if (!def || std::strcmp(def->m_name, module) != 0) return nullptr;
    for (const PyMethodDef *m = def->m_methods; m && m->ml_name; ++m)
        if (std::strcmp(m->ml_name, name) == 0) return m->ml_meth;
    return nullptr;
}

// Whether `function` is the built-in function `name` of the C module `module`.
bool is_builtin(PyObject *function, const char *module, const char *name) {
    PyCFunction code = builtin_code(function, module, name);
    return code && PyCFunction_GET_FUNCTION(function) == code;
}

// Whether a class's own namespace holds nothing but entries named in `allowed`.
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

// A built-in function found by is_builtin for one module and name, remembered by its C
// function so that later checks compare one address.
struct KnownBuiltin {
    const char *module;
    const char *name;
    PyCFunction code = nullptr;
    bool matches(PyObject *function) {
        if (!code) code = builtin_code(function, module, name);
        return code && PyCFunction_Check(function) && PyCFunction_GET_FUNCTION(function) == code;
    }
};

// The code object named `qualname` within `code`, searched through the code objects among
// its constants; null when there is none. Run while the module loads.
Ref nested_code(PyObject *code, const char *qualname) {
    Ref name = Ref::steal(PyObject_GetAttrString(code, "co_qualname"));
    Ref constants = Ref::steal(PyObject_GetAttrString(code, "co_consts"));
    if (!name || !constants || !PyTuple_Check(constants.get())) {
        PyErr_Clear(); // not found, as far as anyone can tell
        return {};
    }
    if (PyUnicode_Check(name.get()) && PyUnicode_EqualToUTF8(name.get(), qualname))
        return Ref::borrow(code);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constants.get()); ++i) {
        PyObject *constant = PyTuple_GET_ITEM(constants.get(), i);
        if (!PyCode_Check(constant)) continue;
        if (Ref found = nested_code(constant, qualname)) return found;
    }
    return {};
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

// Reads the json package's own code into `own`; where it cannot be had, the JSON routes
// stay off and nothing else changes.
void read_reference_code() {
    if (own.dumps_code) return;
    Ref package = module_code("json");
    Ref encoder = module_code("json.encoder");
    PyErr_Clear();
    if (!package || !encoder) return;
    own.dumps_code = nested_code(package.get(), "dumps").release();
    for (int i = 0; i < 3; ++i) {
        std::string qualname = std::string("JSONEncoder.") + method_names[i];
        own.method_codes[i] = nested_code(encoder.get(), qualname.c_str()).release();
    }
}

// Whether `function` is a plain function without a closure running the reference code `code`
// (compared as code objects compare: instruction for instruction, constants and names).
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
    } expected[] = {{"skipkeys", Py_False},  {"ensure_ascii", Py_True}, {"check_circular", Py_True},
                    {"allow_nan", Py_True},  {"cls", Py_None},          {"indent", Py_None},
                    {"separators", Py_None}, {"default", Py_None},      {"sort_keys", Py_False}};
    if (!defaults || !PyDict_CheckExact(defaults) || !str_keys_only(defaults) ||
        PyDict_GET_SIZE(defaults) != std::ssize(expected))
        return false;
    for (const auto &[name, value] : expected)
        if (entry(defaults, name) != value) return false;
    return true;
}

// What the last full check found, held so that the comparisons of addresses on each call
// compare these objects and no others that came to lie at the same addresses.
struct InPlace {
    PyObject *json = nullptr;    // the module judged
    PyObject *functions[4] = {}; // json.dumps, JSONEncoder.__init__, .encode, .iterencode
    PyObject *codes[4] = {};     // their code as it was read
    PyObject *dumps_kwdefaults = nullptr;
    bool standard = false; // what the check found
} in_place;

// Makes `slot` hold `object` (or nothing), letting go of what it held.
void hold(PyObject *&slot, PyObject *object) { Py_XSETREF(slot, Py_XNewRef(object)); }

// Holds the function the check reads as json.dumps (0) or as one of JSONEncoder's methods,
// with what it runs, whether or not it turns out to be the standard one: function objects are
// not watched, so each call compares these to notice a change either way.
void held_function(int i, PyObject *function) {
    hold(in_place.functions[i], function);
    hold(in_place.codes[i], PyFunction_GET_CODE(function));
    if (i == 0) hold(in_place.dumps_kwdefaults, PyFunction_GET_KW_DEFAULTS(function));
}

// The namespaces and classes the check reads are watched, and so is this module's own
// namespace: `changed` is set whenever one of them changes, and the full check runs again
// only then. A watcher that cannot be had leaves `changed` set for good, which costs speed
// and nothing else.
bool changed = true;
int namespace_watcher = -1, class_watcher = -1;
bool module_namespace_plain = false; // whether it holds only str keys, as last checked

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
    if (!dumps || !PyFunction_Check(dumps)) return false;
    held_function(0, dumps);
    PyObject *kwdefaults = PyFunction_GET_KW_DEFAULTS(dumps);
    if (kwdefaults) watched = watch(kwdefaults) && watched;
    if (!runs_reference_code(dumps, own.dumps_code) || PyFunction_GET_DEFAULTS(dumps) ||
        !standard_keyword_defaults(kwdefaults))
        return false;

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
        PyTuple_GET_ITEM(encoder_type->tp_mro, 1) !=
            reinterpret_cast<PyObject *>(&PyBaseObject_Type))
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
        if (!methods[i] || !PyFunction_Check(methods[i])) return false;
        held_function(i + 1, methods[i]);
        if (!runs_reference_code(methods[i], own.method_codes[i])) return false;
    }

    // The names the methods read: the module's own helpers and the interpreter's built-ins.
    PyObject *encoder_globals = PyFunction_GET_GLOBALS(methods[1]);
    Ref builtins = Ref::steal(PyObject_GetAttrString(methods[1], "__builtins__"));
    if (!builtins) {
        PyErr_Clear(); // a function always has it: only memory was lacking
        check_unfinished = true;
        return false;
    }
    for (PyObject *method : methods) {
        Ref own_builtins = Ref::steal(PyObject_GetAttrString(method, "__builtins__"));
        if (!own_builtins) {
            PyErr_Clear();
            check_unfinished = true;
        }
        if (PyFunction_GET_GLOBALS(method) != encoder_globals ||
            own_builtins.get() != builtins.get())
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
    } builtin_types[] = {{"str", &PyUnicode_Type},
                         {"list", &PyList_Type},
                         {"tuple", &PyTuple_Type},
                         {"float", &PyFloat_Type}};
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
        !is_builtin(encode_string, "_json", "encode_basestring") || !make_encoder ||
        !is_accelerator_encoder(make_encoder))
        return false;
    watched = watch(reinterpret_cast<PyTypeObject *>(make_encoder)) && watched;
    return true;
}

// Whether a function the last check read has had its code or keyword defaults replaced since.
bool functions_changed() {
    for (int i = 0; i < 4; ++i)
        if (in_place.functions[i] &&
            PyFunction_GET_CODE(in_place.functions[i]) != in_place.codes[i])
            return true;
    return in_place.functions[0] &&
           PyFunction_GET_KW_DEFAULTS(in_place.functions[0]) != in_place.dumps_kwdefaults;
}

// Whether `json` is the standard json module with its encoder as the interpreter made it;
// runs the full check again only when something it read has changed.
bool standard_json_now(PyObject *json) {
    if (changed || json != in_place.json || functions_changed()) {
        bool watched = namespace_watcher >= 0 && watch(own.module_namespace);
        module_namespace_plain = str_keys_only(own.module_namespace);
        hold(in_place.json, json);
        check_unfinished = false;
        // A name the check could not look up for want of memory may have been one that must
        // be absent: an unfinished check never says standard.
        in_place.standard = check_standard(json, watched) && !check_unfinished;
        changed = !watched || check_unfinished;
    }
    return in_place.standard && !internals::traced();
}

// Whether `type`'s attribute lookup of "_json_dumps" finds the class's own staticmethod, with
// every namespace on the way holding only str keys (so that reading them runs no Python
// code). Remembered for the type while its version tag stands: a change to the type or to any
// of its bases clears the tag, and a new one is never one given before.
PyObject *checked_class = nullptr; // held, so that its address stays its own
unsigned int checked_version = 0;

bool class_finds_own_json_dumps(PyTypeObject *type) {
    if (reinterpret_cast<PyObject *>(type) == checked_class && checked_version != 0 &&
        type->tp_version_tag == checked_version)
        return true;
    PyObject *mro = type->tp_mro;
    if (!mro) return false;
    PyObject *found = nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro) && !found; ++i) {
        Ref namespace_ =
            Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i))));
        if (!namespace_ || !str_keys_only(namespace_.get())) return false;
        found = entry(namespace_.get(), names.json_dumps);
    }
    if (found != own.json_dumps_static) return false;
    Py_XSETREF(checked_class, Py_NewRef(reinterpret_cast<PyObject *>(type)));
    checked_version = internals::type_version(type);
    return true;
}

} // namespace

int keep_own_objects(PyObject *module, PyObject *cls) {
    // A module made again after a failed import replaces the namespace kept before.
    PyObject *namespace_ = PyModule_GetDict(module);
    if (namespace_ != own.module_namespace) {
        Py_XSETREF(own.module_namespace, Py_NewRef(namespace_));
        changed = true;
    }
    // The class's _json_dumps: the staticmethod in its namespace, and the operation in it.
    Ref class_namespace = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject *>(cls)));
    if (!class_namespace) return -1;
    PyObject *wrapped = entry(class_namespace.get(), "_json_dumps");
    if (!wrapped) return 0;
    Py_XSETREF(own.json_dumps_static, Py_NewRef(wrapped));
    Py_XSETREF(own.json_dumps, PyStaticMethod_Type.tp_descr_get(wrapped, nullptr, cls));
    if (!own.json_dumps) return -1;

    // glimet_crypt's API; without it m_crypt.sha256 is always called as a method.
    if (!own.crypt) {
        own.crypt = static_cast<const CryptApi *>(PyCapsule_Import("glimet_crypt._api", 0));
        if (!own.crypt) PyErr_Clear();
    }
    read_reference_code();
    if (namespace_watcher < 0) {
        namespace_watcher = PyDict_AddWatcher(on_namespace_change);
        class_watcher = PyType_AddWatcher(on_class_change);
        PyErr_Clear(); // without watchers, every call checks in full
    }
    return 0;
}

bool standard_json(PyObject *json) { return standard_json_now(json); }

bool standard_json_bound(PyObject *globals) {
    if (globals != own.module_namespace) return false;
    if (changed ? !str_keys_only(globals) : !module_namespace_plain) return false;
    PyObject *json = entry(globals, names.json);
    return json && standard_json_now(json);
}

bool standard_clock(PyObject *function) {
    static KnownBuiltin time_time{"time", "time"};
    return time_time.matches(function);
}

const CryptApi *own_crypt(PyObject *m_crypt) {
    // glimet_crypt's type is immutable and its instances hold nothing of their own, so
    // m_crypt.sha256 on one of them is always glimet_crypt's own method.
    return own.crypt && Py_IS_TYPE(m_crypt, own.crypt->type) ? own.crypt : nullptr;
}

bool own_json_dumps(PyObject *instance) {
    PyTypeObject *type = Py_TYPE(instance);
    if (!own.json_dumps_static || type->tp_getattro != PyObject_GenericGetAttr ||
        !class_finds_own_json_dumps(type))
        return false;
    // The staticmethod still holds the operation (staticmethod.__init__ can be run again).
    Ref function = Ref::steal(PyStaticMethod_Type.tp_descr_get(own.json_dumps_static, instance,
                                                               reinterpret_cast<PyObject *>(type)));
    if (function.get() != own.json_dumps) {
        PyErr_Clear();
        return false;
    }
    // A staticmethod is no data descriptor: an entry of the instance's own namespace would
    // come first.
    if (type->tp_dictoffset == 0 && !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return true;
    Ref namespace_ = Ref::steal(PyObject_GenericGetDict(instance, nullptr));
    if (!namespace_ || !PyDict_Check(namespace_.get())) {
        PyErr_Clear();
        return false;
    }
    if (PyDict_GET_SIZE(namespace_.get()) == 0) return true;
    return str_keys_only(namespace_.get()) && !entry(namespace_.get(), names.json_dumps);
}

} // namespace glimet::tervix::fast
