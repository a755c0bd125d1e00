// TERVIXWorkMain._json_dumps: compact JSON through the module's `json`.
#include "tervix_main/fast/routes.hpp"
#include "tervix_main/names.hpp"
#include "tervix_main/operations.hpp"

namespace glimet::tervix {
namespace {

// json.dumps(data, separators=(",", ":"), ensure_ascii=False), with `json` looked up in the
// module namespace on each call; the separators tuple is made once and shared by every call.
PyObject *json_dumps(Function *self, PyObject *const *args) {
    PyObject *data = args[0];

    // The encoder: whatever `json` is bound to now.
    Ref json = lookup_global(self->globals, names.json);
    if (!json) return nullptr;

    // The text, written here while that is the standard encoder, else as it makes it.
    Ref text;
    if (fast::write_compact_json(text, json.get(), data) == fast::Route::written)
        return text.release();
    Ref dumps = Ref::steal(PyObject_GetAttr(json.get(), names.dumps));
    if (!dumps) return nullptr;
    PyObject *call_args[] = {data, names.separators, Py_False};
    return PyObject_Vectorcall(dumps.get(), call_args, 1, names.dumps_kwnames);
}

} // namespace

const OperationSpec json_dumps_spec = {
    .name = "_json_dumps",
    .doc = "TERVIXWorkMain._json_dumps(data)\n"
           "将数据转换为 JSON 格式的字符串。\n"
           "\n"
           ":param data: 要转换的数据\n"
           ":return: JSON 格式的字符串",
    .text_signature = "(data)",
    .params = {"data"},
    .n_required = 1,
    .impl = json_dumps,
    .file = GLIMET_SOURCE,
    .line = __LINE__,
};

} // namespace glimet::tervix
