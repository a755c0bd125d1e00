// TERVIXWorkMain._tervix_saas_sign and _tervix_saas_sign_params: SaaS request signing.
#include "tervix_main/operations.hpp"

namespace glimet::tervix {
namespace {

PyObject *saas_sign(Function *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "TERVIXWorkMain._tervix_saas_sign");
    return nullptr;
}

PyObject *saas_sign_params(Function *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "TERVIXWorkMain._tervix_saas_sign_params");
    return nullptr;
}

} // namespace

const OperationSpec saas_sign_spec = {
    "_tervix_saas_sign",
    "TERVIXWorkMain._tervix_saas_sign",
    "tervix_main.TERVIXWorkMain._tervix_saas_sign",
    "TERVIXWorkMain._tervix_saas_sign(self, data, env='', update_time=True)\n"
    "生成 SaaS 签名，并将签名添加到数据中。\n"
    "\n"
    ":param data: 需要签名的数据，字典类型\n"
    ":param env: 环境标识，默认为空字符串\n"
    ":param update_time: 是否更新时间戳，默认为 True\n"
    ":return: 包含签名后的数据字典",
    "(self, data, env='', update_time=True)",
    {"self", "data", "env", "update_time"},
    4,
    2,
    saas_sign,
    GLIMET_SOURCE,
    __LINE__,
};

const OperationSpec saas_sign_params_spec = {
    "_tervix_saas_sign_params",
    "TERVIXWorkMain._tervix_saas_sign_params",
    "tervix_main.TERVIXWorkMain._tervix_saas_sign_params",
    "TERVIXWorkMain._tervix_saas_sign_params(self, params, env='', update_time=True)\n"
    "生成 SaaS 签名，并将签名添加到参数中。\n"
    "\n"
    ":param params: 需要签名的参数，字典类型\n"
    ":param env: 环境标识，默认为空字符串\n"
    ":param update_time: 是否更新时间戳，默认为 True\n"
    ":return: 包含签名后的参数字典",
    "(self, params, env='', update_time=True)",
    {"self", "params", "env", "update_time"},
    4,
    2,
    saas_sign_params,
    GLIMET_SOURCE,
    __LINE__,
};

} // namespace glimet::tervix
