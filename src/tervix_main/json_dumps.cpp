// TERVIXWorkMain._json_dumps: compact JSON through the module's `json`.
#include "tervix_main/operations.hpp"

namespace glimet::tervix {
namespace {

Name json_name{"json"};
Name dumps_name{"dumps"};
PyObject *separators = nullptr;   // (",", ":"), shared by every call
PyObject *dumps_kwnames = nullptr; // ("separators", "ensure_ascii")

// Returns json.dumps(data, separators=(",", ":"), ensure_ascii=False) with `json` looked up
// in the module namespace on each call.
PyObject *json_dumps(Function *self, PyObject *const *args) {
    PyObject *data = args[0];

    // The encoder: whatever `json` is bound to now.
    Ref json = lookup_global(self->globals, json_name.get());
    if (!json) return nullptr;
    Ref dumps = Ref::steal(PyObject_GetAttr(json.get(), dumps_name.get()));
    if (!dumps) return nullptr;

    // The text, returned as the encoder made it.
    PyObject *call_args[] = {data, separators, Py_False};
    return PyObject_Vectorcall(dumps.get(), call_args, 1, dumps_kwnames);
}

} // namespace

int json_dumps_init() {
    if (separators) return 0;
    separators = Py_BuildValue("(ss)", ",", ":");
    dumps_kwnames = Py_BuildValue("(ss)", "separators", "ensure_ascii");
    return separators && dumps_kwnames ? 0 : -1;
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
