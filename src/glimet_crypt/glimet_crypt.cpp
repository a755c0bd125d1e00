// glimet_crypt: the object m_crypt, whose sha256 signs the toolkit's requests.
#include "support/globals.hpp"
#include "support/module.hpp"

#include <string_view>

namespace glimet::crypt {
namespace {

// m_crypt's layout: the hashlib constructor it hashes with, fixed at import.
struct Crypt {
    PyObject_HEAD
    PyObject *sha256_constructor;
};

// Hex form of `digest`, in upper or lower case.
PyObject *hex_text(std::string_view digest, bool upper) {
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(digest.size() * 2), 127));
    if (!text) return nullptr;
    auto *out = static_cast<Py_UCS1 *>(PyUnicode_DATA(text.get()));
    for (unsigned char byte : digest) {
        *out++ = static_cast<Py_UCS1>(digits[byte >> 4]);
        *out++ = static_cast<Py_UCS1>(digits[byte & 15]);
    }
    return text.release();
}

// m_crypt.sha256(text, case="upper"): hex SHA-256 of the UTF-8 encoding of `text`.
PyObject *crypt_sha256(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames) noexcept {
    // Arguments: text, then case, by position or keyword.
    PyObject *bound[2] = {nargs > 0 ? args[0] : nullptr, nargs > 1 ? args[1] : nullptr};
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "sha256() takes at most 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        int slot = PyUnicode_Check(keyword) ? PyUnicode_CompareWithASCIIString(keyword, "text") == 0 ? 0
                   : PyUnicode_CompareWithASCIIString(keyword, "case") == 0 ? 1 : -1 : -1;
        if (slot < 0) {
            PyErr_Format(PyExc_TypeError, "sha256() got an unexpected keyword argument '%S'",
                         keyword);
            return nullptr;
        }
        if (bound[slot]) {
            PyErr_Format(PyExc_TypeError, "sha256() got multiple values for argument '%S'",
                         keyword);
            return nullptr;
        }
        bound[slot] = args[nargs + k];
    }
    PyObject *text = bound[0];
    if (!text) {
        PyErr_SetString(PyExc_TypeError, "sha256() missing required argument 'text'");
        return nullptr;
    }
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "sha256() argument 'text' must be str, not %T", text);
        return nullptr;
    }
    bool upper = true;
    if (PyObject *letter_case = bound[1]) {
        bool is_upper = PyUnicode_Check(letter_case) &&
                        PyUnicode_CompareWithASCIIString(letter_case, "upper") == 0;
        bool is_lower = PyUnicode_Check(letter_case) &&
                        PyUnicode_CompareWithASCIIString(letter_case, "lower") == 0;
        if (!is_upper && !is_lower) {
            PyErr_Format(PyExc_ValueError, "sha256() case must be 'upper' or 'lower', not %R",
                         letter_case);
            return nullptr;
        }
        upper = is_upper;
    }

    // The digest, by hashlib over the text's UTF-8 bytes: an ASCII str is its own UTF-8 and is
    // viewed in place; any other is encoded into a temporary (not cached on the caller's str).
    Ref encoded;
    Ref view;
    if (PyUnicode_IS_ASCII(text)) {
        view = Ref::steal(PyMemoryView_FromMemory(static_cast<char *>(PyUnicode_DATA(text)),
                                                  PyUnicode_GET_LENGTH(text), PyBUF_READ));
    } else {
        encoded = Ref::steal(PyUnicode_AsUTF8String(text));
        if (!encoded) return nullptr;
        view = Ref::borrow(encoded.get());
    }
    if (!view) return nullptr;
    auto *crypt = reinterpret_cast<Crypt *>(self);
    Ref hash = Ref::steal(PyObject_CallOneArg(crypt->sha256_constructor, view.get()));
    if (!hash) return nullptr;
    static Name digest_name{"digest"};
    if (!digest_name.get()) return nullptr;
    Ref digest = Ref::steal(PyObject_CallMethodNoArgs(hash.get(), digest_name.get()));
    if (!digest) return nullptr;
    if (!PyBytes_Check(digest.get())) {
        PyErr_SetString(PyExc_TypeError, "sha256() digest is not bytes");
        return nullptr;
    }
    std::string_view bytes(PyBytes_AS_STRING(digest.get()),
                           static_cast<size_t>(PyBytes_GET_SIZE(digest.get())));
    return hex_text(bytes, upper);
}

int crypt_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Crypt *>(self)->sha256_constructor);
    return 0;
}

int crypt_clear(PyObject *self) noexcept {
    Py_CLEAR(reinterpret_cast<Crypt *>(self)->sha256_constructor);
    return 0;
}

void crypt_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    crypt_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMethodDef crypt_methods[] = {
    {"sha256", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(crypt_sha256)),
     METH_FASTCALL | METH_KEYWORDS,
     "sha256($self, /, text, case='upper')\n--\n\n"
     "Hex SHA-256 of the UTF-8 encoding of text, in upper case or, with case='lower', lower case."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot crypt_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(crypt_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(crypt_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(crypt_clear)},
    {Py_tp_methods, crypt_methods},
    {Py_tp_doc, const_cast<char *>("The signing hash of glimet-work.")},
    {0, nullptr},
};

PyType_Spec crypt_spec = {
    "glimet_crypt.Crypt",
    sizeof(Crypt),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    crypt_slots,
};

int module_exec(PyObject *module) noexcept {
    Ref hashlib = Ref::steal(PyImport_ImportModule("hashlib"));
    if (!hashlib) return -1;
    Ref constructor = Ref::steal(PyObject_GetAttrString(hashlib.get(), "sha256"));
    if (!constructor) return -1;
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &crypt_spec, nullptr));
    if (!type) return -1;
    auto *crypt = PyObject_GC_New(Crypt, reinterpret_cast<PyTypeObject *>(type.get()));
    if (!crypt) return -1;
    crypt->sha256_constructor = constructor.release();
    PyObject_GC_Track(crypt);
    Ref m_crypt = Ref::steal(reinterpret_cast<PyObject *>(crypt));
    if (PyModule_Add(module, "Crypt", type.release()) < 0) return -1;
    return PyModule_Add(module, "m_crypt", m_crypt.release());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "glimet_crypt",
    "Signing hash for glimet-work: m_crypt.sha256(text, case='upper').",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace glimet::crypt

PyMODINIT_FUNC PyInit_glimet_crypt(void) { return PyModuleDef_Init(&glimet::crypt::module_def); }
