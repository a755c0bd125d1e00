// TERVIXWorkMain._tervix_saas_sign and _tervix_saas_sign_params: SaaS request signing.
// Both stamp the caller's mapping, build the signed text from its entries in ascending key
// order, append the signing constant `env` selects, rewrite Python's words True, False and
// None into JSON's, and have m_crypt.sha256 sign the result.
#include "support/globals.hpp"
#include "support/internals.hpp"
#include "tervix_main/fast/routes.hpp"
#include "tervix_main/literal_words.hpp"
#include "tervix_main/names.hpp"
#include "tervix_main/operations.hpp"
#include "tervix_main/pieces.hpp"
#include "tervix_main/salts.hpp"
#include "tervix_main/stamp.hpp"

#include <utility>

namespace glimet::tervix {
namespace {

using fast::Route;

// Appends the signing constant for `env`: the production one when env == "prod", else the
// default.
[[nodiscard]] int write_salt_value(TextBuilder &out, PyObject *env) {
    int production = 0;
    if (PyUnicode_CheckExact(env)) {
        production = PyUnicode_EqualToUTF8(env, "prod");
    } else {
        Ref equal = Ref::steal(PyObject_RichCompare(env, names.prod, Py_EQ));
        if (!equal) return -1;
        production = PyObject_IsTrue(equal.get());
        if (production < 0) return -1;
    }
    if (production)
        production_salt.decode_into(out);
    else
        default_salt.decode_into(out);
    return 0;
}

// The signed text once its pieces are in `out`: the constant `env` selects appended (the
// pieces are formed before `env` is compared), then the literal words rewritten; `quoted`
// adds the rewrite of the quoted words, which the parameters' values need. The text is made
// holding its UTF-8, which hashing it and printing it both read.
Ref finish_signed_text(TextBuilder &out, PyObject *env, bool quoted) {
    if (write_salt_value(out, env) < 0) return {};
    out.edit(
        [quoted](auto *chars, size_t length) { rewrite_literal_words(chars, length, quoted); });
    return out.finish_with_utf8();
}

// m_crypt.sha256(params_str, "upper"), with `m_crypt` looked up in the module namespace now.
Ref signature(Function *self, PyObject *params_str) {
    Ref m_crypt = lookup_global(self->globals, names.m_crypt);
    if (!m_crypt) return {};
    Ref result;
    if (fast::sign(result, m_crypt.get(), params_str) == Route::written) return result;
    PyObject *args[] = {m_crypt.get(), params_str, names.upper};
    return Ref::steal(PyObject_VectorcallMethod(names.sha256, args,
                                                3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// self._tervix_saas_sign(data, env, update_time): a sorted copy of `data` with the signature
// added last. `data` itself gets the timestamp and loses "saas_sign", nothing more.
PyObject *saas_sign(Function *self, PyObject *const *args) {
    // Held across every call into Python code below.
    Ref instance = Ref::borrow(args[0]);
    Ref source = Ref::borrow(args[1]);
    Ref env = Ref::borrow(args[2]);

    // Stamp: the caller's body gets its time and loses any old signature.
    if (stamp(self->globals, source.get(), args[3]) < 0) return nullptr;

    // Order: data = {key: source[key] for key in sorted(source)}, made at the size it reaches
    // with the signature added.
    Py_ssize_t size = PyDict_Check(source.get()) ? PyDict_GET_SIZE(source.get()) + 1 : 0;
    Ref data = Ref::steal(internals::new_dict(size));
    if (!data) return nullptr;
    if (fast::copy_sorted(data.get(), source.get()) == Route::declined &&
        copy_sorted(data.get(), source.get()) < 0)
        return nullptr;

    // Text: "&".join(f"{key}={value}" for key, value in data.items()), dict and list values
    // given by self._json_dumps; then the constant and the rewrite of True, False and None.
    TextBuilder out;
    if (fast::write_pieces(out, data.get(), instance.get(), self->globals) == Route::declined &&
        write_pieces(self, out, data.get(), instance.get()) < 0)
        return nullptr;
    Ref params_str = finish_signed_text(out, env.get(), false);
    if (!params_str) return nullptr;

    // Sign: the signature stored in the copy only; "saas_sign" was popped before copying, so
    // it comes last. The copy is an exact dict of ours, so storing is what its update does.
    Ref signature_value = signature(self, params_str.get());
    if (!signature_value ||
        PyDict_SetItem(data.get(), names.sign_key, signature_value.get()) < 0)
        return nullptr;
    return data.release();
}

// The parameters' signed text: `params` stamped, then each key in sorted(params) with its
// value's text as a one-element JSON array, the pieces joined by "&", the constant appended
// and both rewrites of the words made.
Ref parameter_signed_text(Function *self, PyObject *instance, PyObject *params, PyObject *env,
                          PyObject *update_time) {
    // Stamp: the caller's parameters get their time and lose any old signature.
    if (stamp(self->globals, params, update_time) < 0) return {};

    TextBuilder out;
    if (fast::write_parameter_pieces(out, params, self->globals) == Route::declined &&
        write_parameter_pieces(self, out, params, instance) < 0)
        return {};
    return finish_signed_text(out, env, true);
}

// The signature of `params_str` stored in the caller's mapping, which is the result.
PyObject *store_parameter_signature(Function *self, Ref params, PyObject *params_str) {
    Ref signature_value = signature(self, params_str);
    if (!signature_value ||
        mapping_update(params.get(), names.sign_kwnames, signature_value.get()) < 0)
        return nullptr;
    return params.release();
}

// self._tervix_saas_sign_params(params, env, update_time): `params` itself, stamped and
// signed, after the signed text has been printed.
PyObject *saas_sign_params(Function *self, PyObject *const *args) {
    // Held across every call into Python code below.
    Ref instance = Ref::borrow(args[0]);
    Ref params = Ref::borrow(args[1]);
    Ref env = Ref::borrow(args[2]);

    Ref params_str = parameter_signed_text(self, instance.get(), params.get(), env.get(), args[3]);
    if (!params_str) return nullptr;

    // Print: one call of the built-in print.
    Ref print = lookup_builtin(names.print);
    if (!print || print_line(print.get(), params_str.get()) < 0) return nullptr;

    return store_parameter_signature(self, std::move(params), params_str.get());
}

} // namespace

PyObject *saas_sign_params_quietly(Function *self, PyObject *const *args) {
    Ref instance = Ref::borrow(args[0]);
    Ref params = Ref::borrow(args[1]);
    Ref env = Ref::borrow(args[2]);
    Ref params_str = parameter_signed_text(self, instance.get(), params.get(), env.get(), args[3]);
    if (!params_str) return nullptr;
    return store_parameter_signature(self, std::move(params), params_str.get());
}

const OperationSpec saas_sign_spec = {
    .name = "_tervix_saas_sign",
    .doc = "TERVIXWorkMain._tervix_saas_sign(self, data, env='', update_time=True)\n"
           "生成 SaaS 签名，并将签名添加到数据中。\n"
           "\n"
           ":param data: 需要签名的数据，字典类型\n"
           ":param env: 环境标识，默认为空字符串\n"
           ":param update_time: 是否更新时间戳，默认为 True\n"
           ":return: 包含签名后的数据字典",
    .text_signature = "(self, data, env='', update_time=True)",
    .params = {"self", "data", "env", "update_time"},
    .n_required = 2,
    .impl = saas_sign,
    .file = GLIMET_SOURCE,
    .line = __LINE__,
};

const OperationSpec saas_sign_params_spec = {
    .name = "_tervix_saas_sign_params",
    .doc = "TERVIXWorkMain._tervix_saas_sign_params(self, params, env='', update_time=True)\n"
           "生成 SaaS 签名，并将签名添加到参数中。\n"
           "\n"
           ":param params: 需要签名的参数，字典类型\n"
           ":param env: 环境标识，默认为空字符串\n"
           ":param update_time: 是否更新时间戳，默认为 True\n"
           ":return: 包含签名后的参数字典",
    .text_signature = "(self, params, env='', update_time=True)",
    .params = {"self", "params", "env", "update_time"},
    .n_required = 2,
    .impl = saas_sign_params,
    .file = GLIMET_SOURCE,
    .line = __LINE__,
};

} // namespace glimet::tervix
