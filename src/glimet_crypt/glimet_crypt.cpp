// glimet_crypt: the object m_crypt, whose sha256 signs the toolkit's requests.
#include "glimet_crypt/crypt_api.hpp"
#include "kernels/kernels.hpp"
#include "kernels/sha256.hpp"
#include "kernels/utf8.hpp"
#include "support/characters.hpp"
#include "support/globals.hpp"
#include "support/internals.hpp"
#include "support/module.hpp"

#include <algorithm>
#include <string_view>

namespace glimet::crypt {
namespace {

// m_crypt's layout: an empty hashlib SHA-256 object, made at import, copied for each text.
struct Crypt {
    PyObject_HEAD
    PyObject *empty_hash;
};

// UTF-8 bytes of a str: its own data for ASCII, else a buffer owned here.
struct Utf8 {
    const char *data = nullptr;
    Py_ssize_t size = 0;
    char *owned = nullptr;
    char local[2048];
    Utf8() = default;
    Utf8(const Utf8 &) = delete;
    Utf8 &operator=(const Utf8 &) = delete;
    ~Utf8() { PyMem_Free(owned); }
};

// -1 with the interpreter's own UnicodeEncodeError for `text`, which holds a lone surrogate.
[[nodiscard]] int utf8_error(PyObject *text) {
    Ref failed = Ref::steal(PyUnicode_AsUTF8String(text));
    if (!failed) return -1;
    PyErr_SetString(PyExc_UnicodeError, "text cannot be encoded as UTF-8");
    return -1;
}

// Fills `utf8` with the UTF-8 of `text`; -1 with the interpreter's own UnicodeEncodeError
// (or MemoryError) when there is none.
int encode_utf8(PyObject *text, Utf8 &utf8) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        utf8.data = static_cast<const char *>(PyUnicode_DATA(text));
        utf8.size = n;
        return 0;
    }
    // A str that already holds its UTF-8 (the interpreter keeps it once made) lends that.
    if (const char *kept = internals::kept_utf8(text, &utf8.size)) {
        utf8.data = kept;
        return 0;
    }
    auto room =
        static_cast<Py_ssize_t>(kernels::utf8_room(static_cast<size_t>(n), PyUnicode_KIND(text)));
    char *out = utf8.local;
    if (room > static_cast<Py_ssize_t>(sizeof utf8.local)) {
        out = utf8.owned = static_cast<char *>(PyMem_Malloc(static_cast<size_t>(room)));
        if (!out) {
            PyErr_NoMemory();
            return -1;
        }
    }
    char *end = with_characters(text, [out](const auto *chars, Py_ssize_t length) {
        return kernels::utf8_encode(chars, static_cast<size_t>(length), out);
    });
    if (!end) return utf8_error(text);
    utf8.data = out;
    utf8.size = end - out;
    return 0;
}

// Whether digests are made by the SHA-256 kernel, which it is where the processor has SHA
// instructions for it, rather than by hashlib; set at import (GLIMET_SIMD=no-sha256 in the
// environment keeps hashlib, as on a processor without them).
bool native_sha256 = false;

// Hex form of `digest`, in upper or lower case.
PyObject *hex_text(std::string_view digest, bool upper) {
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(digest.size() * 2), 127));
    if (!text) return nullptr;
    auto *out = static_cast<Py_UCS1 *>(PyUnicode_DATA(text.get()));
    for (char c : digest) {
        auto byte = static_cast<unsigned char>(c);
        *out++ = static_cast<Py_UCS1>(digits[byte >> 4]);
        *out++ = static_cast<Py_UCS1>(digits[byte & 15]);
    }
    return text.release();
}

// The SHA-256 of the UTF-8 of `text` by the processor's SHA instructions, into `digest`;
// false when `text` holds a lone surrogate. An ASCII str, or one that already holds its UTF-8,
// is hashed as it lies. Any other is encoded a slice at a time into a buffer of this call's and
// hashed as it goes, so that nothing is allocated or kept. Long texts are hashed with other
// threads let run, as hashlib does: `text` is held by the caller and a str never changes.
bool native_digest(PyObject *text, unsigned char digest[32]) {
    kernels::Sha256 hash;
    Py_ssize_t size = PyUnicode_GET_LENGTH(text);
    const char *whole = PyUnicode_IS_ASCII(text) ? static_cast<const char *>(PyUnicode_DATA(text))
                                                 : internals::kept_utf8(text, &size);
    bool encoded = true;
    auto feed = [&] {
        if (whole)
            return hash.update(reinterpret_cast<const unsigned char *>(whole),
                               static_cast<size_t>(size));
        encoded = with_characters(text, [&hash](const auto *chars, Py_ssize_t length) {
            constexpr size_t slice = 256;
            char buffer[kernels::utf8_room(slice, 4)];
            for (size_t i = 0, n = static_cast<size_t>(length); i < n; i += slice) {
                char *end = kernels::utf8_encode(chars + i, std::min(slice, n - i), buffer);
                if (!end) return false;
                hash.update(reinterpret_cast<const unsigned char *>(buffer),
                            static_cast<size_t>(end - buffer));
            }
            return true;
        });
    };
    if (PyUnicode_GET_LENGTH(text) >= 2048) {
        Py_BEGIN_ALLOW_THREADS
        feed();
        Py_END_ALLOW_THREADS
    } else {
        feed();
    }
    if (encoded) hash.finish(digest);
    return encoded;
}

// The hex SHA-256 of the UTF-8 of `text` (a str), upper or lower case; what m_crypt.sha256
// returns once its arguments are checked. Other modules of the package reach it through the
// capsule glimet_crypt._api.
PyObject *hash_text(PyObject *self, PyObject *text, bool upper) {
    if (native_sha256) {
        unsigned char digest[32];
        if (!native_digest(text, digest)) {
            (void)utf8_error(text);
            return nullptr;
        }
        return hex_text(std::string_view(reinterpret_cast<const char *>(digest), sizeof digest),
                        upper);
    }

    // Otherwise by hashlib, on the text's UTF-8 bytes: an ASCII str is its own UTF-8 and is
    // read in place; any other is encoded into a buffer of this call's own.
    Utf8 utf8;
    if (encode_utf8(text, utf8) < 0) return nullptr;
    Ref view =
        Ref::steal(PyMemoryView_FromMemory(const_cast<char *>(utf8.data), utf8.size, PyBUF_READ));
    if (!view) return nullptr;

    // The digest, by hashlib: a copy of the empty hash fed the bytes.
    static Name copy_name{"copy"}, update_name{"update"}, digest_name{"digest"};
    if (!copy_name.get() || !update_name.get() || !digest_name.get()) return nullptr;
    auto *crypt = reinterpret_cast<Crypt *>(self);
    Ref hash = Ref::steal(PyObject_CallMethodNoArgs(crypt->empty_hash, copy_name.get()));
    if (!hash) return nullptr;
    // The view lends memory this call owns or borrows; the built-in hash reads it during
    // update and keeps nothing of it.
    Ref updated = Ref::steal(PyObject_CallMethodOneArg(hash.get(), update_name.get(), view.get()));
    if (!updated) return nullptr;
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
        int slot = PyUnicode_Check(keyword)
                       ? PyUnicode_CompareWithASCIIString(keyword, "text") == 0   ? 0
                         : PyUnicode_CompareWithASCIIString(keyword, "case") == 0 ? 1
                                                                                  : -1
                       : -1;
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

    return hash_text(self, text, upper);
}

int crypt_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<Crypt *>(self)->empty_hash);
    return 0;
}

int crypt_clear(PyObject *self) noexcept {
    Py_CLEAR(reinterpret_cast<Crypt *>(self)->empty_hash);
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
    // hashlib's own SHA-256 implementation, taken from its built-in backend rather than through
    // hashlib.sha256, which a caller may have replaced: the built-in type's update reads the
    // bytes it is given and keeps no reference to them, which the memory views above rely on.
    Ref backend = Ref::steal(PyImport_ImportModule("_hashlib"));
    const char *constructor = "openssl_sha256";
    if (!backend) {
        PyErr_Clear(); // an interpreter built without OpenSSL hashes in its _sha2 module
        backend = Ref::steal(PyImport_ImportModule("_sha2"));
        constructor = "sha256";
    }
    if (!backend) return -1;
    Ref empty_hash = Ref::steal(PyObject_CallMethod(backend.get(), constructor, nullptr));
    if (!empty_hash) return -1;
    if (!(Py_TYPE(empty_hash.get())->tp_flags & Py_TPFLAGS_IMMUTABLETYPE)) {
        PyErr_SetString(PyExc_ImportError, "glimet_crypt: hashlib's SHA-256 is not built in");
        return -1;
    }
    const kernels::Selection &chosen = kernels::select();
    native_sha256 = chosen.sha256 != kernels::Body::scalar;
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &crypt_spec, nullptr));
    if (!type) return -1;
    auto *crypt = PyObject_GC_New(Crypt, reinterpret_cast<PyTypeObject *>(type.get()));
    if (!crypt) return -1;
    crypt->empty_hash = empty_hash.release();
    PyObject_GC_Track(crypt);
    Ref m_crypt = Ref::steal(reinterpret_cast<PyObject *>(crypt));
    if (PyModule_Add(module, "Crypt", type.release()) < 0) return -1;
    if (PyModule_Add(module, "m_crypt", m_crypt.release()) < 0) return -1;
    // Which way digests are made, and text encoded, and the body of every kernel (each module
    // chooses alike), for diagnostics.
    const char *engine = native_sha256 ? kernels::body_name(chosen.sha256) : "hashlib";
    if (PyModule_AddStringConstant(module, "_engine", engine) < 0) return -1;
    const char *utf8_encoder = kernels::body_name(chosen.utf8);
    if (PyModule_AddStringConstant(module, "_utf8_encoder", utf8_encoder) < 0) return -1;
    Ref bodies = Ref::steal(PyDict_New());
    if (!bodies) return -1;
    for (const kernels::Named &kernel : kernels::kernel_names) {
        Ref body = Ref::steal(PyUnicode_FromString(kernels::body_name(chosen.*kernel.body)));
        if (!body || PyDict_SetItemString(bodies.get(), kernel.name, body.get()) < 0) return -1;
    }
    if (PyModule_Add(module, "_kernels", bodies.release()) < 0) return -1;
    static CryptApi api{nullptr, hash_text};
    api.type = reinterpret_cast<PyTypeObject *>(PyObject_GetAttrString(module, "Crypt"));
    if (!api.type) return -1;
    Py_DECREF(api.type); // the module keeps the type, and the capsule lives in the module
    return PyModule_Add(module, "_api", PyCapsule_New(&api, "glimet_crypt._api", nullptr));
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
