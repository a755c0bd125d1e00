// TERVIXWorkMain._json_dumps: compact JSON through the module's `json`.
#include "support/traceback.hpp"
#include "tervix_main/compact_json.hpp"
#include "tervix_main/operations.hpp"

namespace glimet::tervix {
namespace {

Name json_name{"json"};
Name dumps_name{"dumps"};
PyObject *separators = nullptr;   // (",", ":"), shared by every call
PyObject *dumps_kwnames = nullptr; // ("separators", "ensure_ascii")

// The standard encoder as seen at import; while `json` still leads to it, the compact text of
// plain values is written here instead, with the same result.
PyObject *standard_json = nullptr;
PyObject *standard_dumps = nullptr;
PyObject *standard_encoder = nullptr;
Name encoder_name{"JSONEncoder"};

// 1 when `dumps`, read from `json`, is the untouched standard encoder; 0 otherwise; -1 error.
int is_standard(PyObject *json, PyObject *dumps) {
    if (json != standard_json || dumps != standard_dumps) return 0;
    PyObject *encoder = nullptr;
    if (PyObject_GetOptionalAttr(json, encoder_name.get(), &encoder) < 0) return -1;
    Ref encoder_ref = Ref::steal(encoder);
    return encoder == standard_encoder;
}

// _json_dumps(data): the text written into `out` (and `written` set) when it can be had
// without the encoder, else the encoder's result, or null with an exception set.
Ref dumps_into(PyObject *globals, PyObject *data, TextBuilder &out, bool &written) {
    written = false;

    // The encoder: whatever `json` is bound to now.
    Ref json = lookup_global(globals, json_name.get());
    if (!json) return {};
    Ref dumps = Ref::steal(PyObject_GetAttr(json.get(), dumps_name.get()));
    if (!dumps) return {};

    // Plain values under the standard encoder: the text written directly.
    int standard = is_standard(json.get(), dumps.get());
    if (standard < 0) return {};
    if (standard) {
        TextBuilder::Mark start = out.mark();
        if (write_compact_json(out, data) == FastJson::done) {
            written = true;
            return {};
        }
        out.rewind(start);
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

int json_is_standard(PyObject *json, PyObject *dumps) { return is_standard(json, dumps); }

Ref json_dumps_into(PyObject *globals, PyObject *value, TextBuilder &out, bool &written) {
    Ref result = dumps_into(globals, value, out, written);
    if (!written && !result)
        add_traceback(json_dumps_spec.trace_name, json_dumps_spec.file, json_dumps_spec.line,
                      globals);
    return result;
}

int json_dumps_init() {
    if (standard_encoder) return 0;
    if (!separators) separators = Py_BuildValue("(ss)", ",", ":");
    if (!dumps_kwnames) dumps_kwnames = Py_BuildValue("(ss)", "separators", "ensure_ascii");
    if (!separators || !dumps_kwnames) return -1;
    // Kept for the process, like the module that holds them.
    if (!standard_json) standard_json = PyImport_ImportModule("json");
    if (!standard_json) return -1;
    if (!standard_dumps) standard_dumps = PyObject_GetAttrString(standard_json, "dumps");
    if (!standard_dumps) return -1;
    standard_encoder = PyObject_GetAttrString(standard_json, "JSONEncoder");
    return standard_encoder ? 0 : -1;
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
