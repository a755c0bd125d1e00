// TERVIXWorkMain._json_dumps: compact JSON through the module's `json`.
#include "support/traceback.hpp"
#include "tervix_main/compact_json.hpp"
#include "tervix_main/operations.hpp"

namespace glimet::tervix {
namespace {

Name json_name{"json"};
Name dumps_name{"dumps"};
PyObject *separators = nullptr;    // (",", ":"), shared by every call
PyObject *dumps_kwnames = nullptr; // ("separators", "ensure_ascii")

// The standard encoder as seen at import, and everything json.dumps reaches on its way to the
// C encoder with these settings. While all of it is still in place, the compact text of plain
// values is written here instead, with the same result. All of it is read without running
// Python code: from module and class namespaces, never through getattr.
struct StandardEncoder {
    PyObject *json = nullptr;           // the json module
    PyObject *dumps = nullptr;          // json.dumps, its code, defaults and keyword defaults
    PyObject *dumps_code = nullptr;
    PyObject *dumps_kwdefaults = nullptr;
    PyObject *kwdefaults_copy = nullptr; // what they held at import
    PyObject *encoder_class = nullptr;  // json.JSONEncoder and the methods dumps uses
    PyObject *encoder_methods[4] = {};
    PyObject *encoder_codes[4] = {};
    PyObject *encoder_module = nullptr; // json.encoder and the helpers those methods use
    PyObject *make_encoder = nullptr;
    PyObject *encode_string = nullptr;
} standard;

Name dumps_key{"dumps"}, encoder_key{"JSONEncoder"}, make_encoder_key{"c_make_encoder"},
    encode_string_key{"encode_basestring"};
Name encoder_method_names[4] = {Name{"__init__"}, Name{"encode"}, Name{"iterencode"},
                                Name{"default"}};

// Whether `namespace_[key]` is `expected`; reading a dict with a str key runs no Python code.
bool holds(PyObject *namespace_, Name &key, PyObject *expected) {
    PyObject *value = nullptr;
    int found = PyDict_GetItemRef(namespace_, key.get(), &value);
    if (found < 0) PyErr_Clear();
    Py_XDECREF(value); // only its identity is compared
    return found > 0 && value == expected;
}

// Whether `dict` holds exactly the entries of `copy`, the same objects under the same keys.
bool same_entries(PyObject *dict, PyObject *copy) {
    if (PyDict_GET_SIZE(dict) != PyDict_GET_SIZE(copy)) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(copy, &position, &key, &value)) {
        PyObject *now = nullptr;
        int found = PyDict_GetItemRef(dict, key, &now);
        if (found < 0) PyErr_Clear();
        Py_XDECREF(now);
        if (found <= 0 || now != value) return false;
    }
    return true;
}

// The namespaces and class checked below are watched, and so is this module's own namespace:
// `changed` is set whenever one of them changes, and the full check runs again only then. A
// watcher that cannot be had leaves `changed` set for good, which costs speed and nothing else.
bool changed = true;
bool watching = false;
int namespace_watcher = -1;
PyObject *module_namespace = nullptr; // tervix_main's, where `json` is looked up; held

// Whether every key of `dict` is an exact str. Looking a str up in such a dict runs no Python
// code; in any other, a key of another type with the same hash is compared through its own
// __eq__.
bool str_keys_only(PyObject *dict) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value))
        if (!PyUnicode_CheckExact(key)) return false;
    return true;
}

int on_namespace_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) noexcept {
    changed = true;
    return 0;
}

int on_class_change(PyTypeObject *) noexcept {
    changed = true;
    return 0;
}

// Starts watching json's and json.encoder's namespaces, dumps's keyword defaults and
// JSONEncoder; on failure nothing is watched.
void watch_standard() {
    int namespaces = namespace_watcher = PyDict_AddWatcher(on_namespace_change);
    int classes = namespaces < 0 ? -1 : PyType_AddWatcher(on_class_change);
    if (classes < 0 || PyDict_Watch(namespaces, module_namespace) < 0 ||
        PyDict_Watch(namespaces, PyModule_GetDict(standard.json)) < 0 ||
        PyDict_Watch(namespaces, PyModule_GetDict(standard.encoder_module)) < 0 ||
        PyDict_Watch(namespaces, standard.dumps_kwdefaults) < 0 ||
        PyType_Watch(classes, standard.encoder_class) < 0) {
        PyErr_Clear();
        return;
    }
    watching = true;
}

// Everything json.dumps reaches, compared with what it was at import, read from namespaces
// that hold only str keys (this module's own included), so that reading them, and looking
// `json` up in this module, runs no Python code.
bool standard_in_place(PyObject *json) {
    if (!str_keys_only(module_namespace) || !str_keys_only(PyModule_GetDict(json)) ||
        !str_keys_only(PyModule_GetDict(standard.encoder_module)) ||
        !str_keys_only(standard.dumps_kwdefaults))
        return false;
    PyObject *dumps = standard.dumps;
    if (!holds(PyModule_GetDict(json), dumps_key, dumps) ||
        PyFunction_GET_KW_DEFAULTS(dumps) != standard.dumps_kwdefaults ||
        !same_entries(standard.dumps_kwdefaults, standard.kwdefaults_copy))
        return false;
    PyObject *encoder = standard.encoder_class;
    if (!holds(PyModule_GetDict(json), encoder_key, encoder) ||
        !Py_IS_TYPE(encoder, &PyType_Type))
        return false;
    for (int i = 0; i < 4; ++i) {
        PyObject *method = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(encoder),
                                          encoder_method_names[i].get()); // borrowed
        if (method != standard.encoder_methods[i]) return false;
    }
    PyObject *helpers = PyModule_GetDict(standard.encoder_module);
    return holds(helpers, make_encoder_key, standard.make_encoder) &&
           holds(helpers, encode_string_key, standard.encode_string);
}

// The watched namespaces as they were at the last full check: whether the standard encoder
// was in place, with only str keys in every namespace read.
bool in_place = false;

// Whether the standard encoder is in place and the namespaces read hold only str keys, with
// the full check run again if anything watched has changed since the last one.
bool standard_unchanged() {
    if (!changed) return in_place;
    in_place = standard.json && standard_in_place(standard.json);
    // A class reports changes only while it holds a version tag, which the lookups above
    // give it when they can; without one, every call checks in full.
    changed = !watching ||
              reinterpret_cast<PyTypeObject *>(standard.encoder_class)->tp_version_tag == 0;
    return in_place;
}

// Whether `json` is the standard module with its encoder untouched. Function objects are not
// watched, so their code and keyword defaults are compared on every call.
bool is_standard(PyObject *json) {
    if (json != standard.json || !Py_IS_TYPE(json, &PyModule_Type)) return false;
    if (PyFunction_GET_CODE(standard.dumps) != standard.dumps_code ||
        PyFunction_GET_KW_DEFAULTS(standard.dumps) != standard.dumps_kwdefaults)
        return false;
    for (int i = 0; i < 4; ++i) {
        PyObject *method = standard.encoder_methods[i];
        if (method && PyFunction_Check(method) &&
            PyFunction_GET_CODE(method) != standard.encoder_codes[i])
            return false;
    }
    return standard_unchanged();
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
        dumps = Ref::borrow(standard.dumps); // what json.dumps reads, read without getattr
    } else {
        dumps = Ref::steal(PyObject_GetAttr(json.get(), dumps_name.get()));
        if (!dumps) return {};
    }

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
    return globals == module_namespace && standard_unchanged();
}

Ref json_dumps_into(PyObject *globals, PyObject *value, TextBuilder &out, bool &written) {
    Ref result = dumps_into(globals, value, out, written);
    if (!written && !result)
        add_traceback(json_dumps_spec.trace_name, json_dumps_spec.file, json_dumps_spec.line,
                      globals);
    return result;
}

namespace {

// Makes `module`'s namespace the one watched and checked: a module made again after a failed
// import replaces the one kept before.
void keep_module_namespace(PyObject *module) {
    PyObject *namespace_ = PyModule_GetDict(module);
    if (namespace_ == module_namespace) return;
    Py_XSETREF(module_namespace, Py_NewRef(namespace_));
    changed = true;
    if (watching && PyDict_Watch(namespace_watcher, module_namespace) < 0) {
        PyErr_Clear();
        watching = false; // every call checks in full from now on
    }
}

} // namespace

int json_dumps_init(PyObject *module) {
    keep_module_namespace(module);
    if (standard.encode_string) return 0;
    if (make_names({&json_name, &dumps_name, &dumps_key, &encoder_key, &make_encoder_key,
                    &encode_string_key, &encoder_method_names[0], &encoder_method_names[1],
                    &encoder_method_names[2], &encoder_method_names[3]}) < 0)
        return -1;
    if (!separators) separators = Py_BuildValue("(ss)", ",", ":");
    if (!dumps_kwnames) dumps_kwnames = Py_BuildValue("(ss)", "separators", "ensure_ascii");
    if (!separators || !dumps_kwnames) return -1;

    // The standard encoder as it is now, kept for the process like the module that holds it.
    // Anything not as expected (a json patched before this import) leaves the fast path off.
    StandardEncoder seen;
    Ref json = Ref::steal(PyImport_ImportModule("json"));
    Ref encoder_module = Ref::steal(PyImport_ImportModule("json.encoder"));
    if (!json || !encoder_module) return -1;
    Ref dumps = Ref::steal(PyObject_GetAttrString(json.get(), "dumps"));
    Ref encoder = Ref::steal(PyObject_GetAttrString(json.get(), "JSONEncoder"));
    Ref make_encoder = Ref::steal(PyObject_GetAttrString(encoder_module.get(), "c_make_encoder"));
    Ref encode_string =
        Ref::steal(PyObject_GetAttrString(encoder_module.get(), "encode_basestring"));
    if (!dumps || !encoder || !make_encoder || !encode_string) return -1;
    // A replacement or wrapper may have no keyword-only defaults at all.
    if (!PyFunction_Check(dumps.get()) || !PyType_Check(encoder.get()) ||
        !PyFunction_GET_KW_DEFAULTS(dumps.get()) ||
        !PyDict_Check(PyFunction_GET_KW_DEFAULTS(dumps.get())))
        return 0;
    Ref kwdefaults_copy = Ref::steal(PyDict_Copy(PyFunction_GET_KW_DEFAULTS(dumps.get())));
    if (!kwdefaults_copy) return -1;
    seen.dumps_code = Py_NewRef(PyFunction_GET_CODE(dumps.get()));
    seen.dumps_kwdefaults = Py_NewRef(PyFunction_GET_KW_DEFAULTS(dumps.get()));
    seen.kwdefaults_copy = kwdefaults_copy.release();
    for (int i = 0; i < 4; ++i) {
        PyObject *method = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(encoder.get()),
                                          encoder_method_names[i].get());
        seen.encoder_methods[i] = Py_XNewRef(method);
        seen.encoder_codes[i] =
            method && PyFunction_Check(method) ? Py_NewRef(PyFunction_GET_CODE(method)) : nullptr;
    }
    seen.json = json.release();
    seen.dumps = dumps.release();
    seen.encoder_class = encoder.release();
    seen.encoder_module = encoder_module.release();
    seen.make_encoder = make_encoder.release();
    seen.encode_string = encode_string.release();
    standard = seen;
    watch_standard();
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
