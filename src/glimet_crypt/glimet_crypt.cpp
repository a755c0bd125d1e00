// glimet_crypt: the object m_crypt, whose sha256 signs the toolkit's requests.
#include "glimet_crypt/crypt_api.hpp"
#include "kernels/kernels.hpp"
#include "kernels/sha256.hpp"
#include "kernels/utf8.hpp"
#include "support/characters.hpp"
#include "support/function.hpp"
#include "support/gc_slots.hpp"
#include "support/internals.hpp"
#include "support/module.hpp"

#include <algorithm>
#include <string_view>

namespace glimet::crypt {
namespace {

// m_crypt's layout, which holds what the module keeps, all made at import: an empty hashlib
// SHA-256 object, copied for each text; the names of the calls made on the copy; and the
// interned texts "upper" and "lower", which sha256's `case` is as a rule.
struct Crypt {
    PyObject_HEAD
    PyObject *empty_hash;
    PyObject *copy, *update, *digest, *upper, *lower;
};
using CryptGc = GcSlots<Crypt, &Crypt::empty_hash, &Crypt::copy, &Crypt::update, &Crypt::digest,
                        &Crypt::upper, &Crypt::lower>;

const KeptRow<Crypt> crypt_names[] = {
    {&Crypt::copy, "copy"},   {&Crypt::update, "update"}, {&Crypt::digest, "digest"},
    {&Crypt::upper, "upper"}, {&Crypt::lower, "lower"},
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
    auto *crypt = reinterpret_cast<Crypt *>(self);
    Ref hash = Ref::steal(PyObject_CallMethodNoArgs(crypt->empty_hash, crypt->copy));
    if (!hash) return nullptr;
    // The view lends memory this call owns or borrows; the built-in hash reads it during
    // update and keeps nothing of it.
    Ref updated = Ref::steal(PyObject_CallMethodOneArg(hash.get(), crypt->update, view.get()));
    if (!updated) return nullptr;
    Ref digest = Ref::steal(PyObject_CallMethodNoArgs(hash.get(), crypt->digest));
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
PyObject *crypt_sha256(Function *, PyObject *const *args) {
    PyObject *self = args[0], *text = args[1], *letter_case = args[2];

    // self: an m_crypt, of a Crypt type this module made (one per interpreter that imports it),
    // which its slots tell apart.
    if (Py_TYPE(self)->tp_dealloc != CryptGc::dealloc) {
        PyErr_Format(PyExc_TypeError,
                     "descriptor 'sha256' for 'glimet_crypt.Crypt' objects doesn't apply to a "
                     "'%s' object",
                     Py_TYPE(self)->tp_name);
        return nullptr;
    }
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "sha256() argument 'text' must be str, not %T", text);
        return nullptr;
    }
    // The case, the interned text itself as a rule (the default and a literal are).
    auto *crypt = reinterpret_cast<Crypt *>(self);
    bool is_upper = letter_case == crypt->upper, is_lower = letter_case == crypt->lower;
    if (!is_upper && !is_lower && PyUnicode_Check(letter_case)) {
        is_upper = PyUnicode_CompareWithASCIIString(letter_case, "upper") == 0;
        is_lower = PyUnicode_CompareWithASCIIString(letter_case, "lower") == 0;
    }
    if (!is_upper && !is_lower) {
        PyErr_Format(PyExc_ValueError, "sha256() case must be 'upper' or 'lower', not %R",
                     letter_case);
        return nullptr;
    }
    return hash_text(self, text, is_upper);
}

const OperationSpec sha256_spec = {
    .name = "sha256",
    .doc = "Hex SHA-256 of the UTF-8 encoding of text, in upper case or, with case='lower', "
           "lower case.",
    .text_signature = "($self, /, text, case='upper')",
    .params = {"self", "text", "case"},
    .n_required = 2,
    .impl = crypt_sha256,
    .file = GLIMET_SOURCE,
    .line = __LINE__,
    .n_positional_only = 1,
};

PyType_Slot crypt_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(CryptGc::dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(CryptGc::traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(CryptGc::clear)},
    {Py_tp_doc, const_cast<char *>("The signing hash of glimet-work.")},
    {0, nullptr},
};

PyType_Spec crypt_spec = {
    .name = "glimet_crypt.Crypt",
    .basicsize = sizeof(Crypt),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
             Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = crypt_slots,
};

// The type Crypt, with sha256 in its namespace: placed there while no one else can see the
// type, which is immutable from then on.
Ref make_crypt_type(PyObject *module) {
    Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &crypt_spec, nullptr));
    if (!type) return {};
    Ref module_name = Ref::steal(PyUnicode_FromString("glimet_crypt"));
    if (!module_name) return {};
    Ref upper = Ref::steal(PyUnicode_InternFromString("upper"));
    if (!upper) return {};
    Ref defaults = Ref::steal(PyTuple_Pack(1, upper.get()));
    if (!defaults) return {};
    Ref sha256 = function_new(sha256_spec, "Crypt", module_name.get(), PyModule_GetDict(module),
                              defaults.get());
    if (!sha256) return {};
    auto *crypt_type = reinterpret_cast<PyTypeObject *>(type.get());
    Ref namespace_ = Ref::steal(PyType_GetDict(crypt_type));
    if (!namespace_ || PyDict_SetItemString(namespace_.get(), sha256_spec.name, sha256.get()) < 0)
        return {};
    PyType_Modified(crypt_type);
    return type;
}

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

    // m_crypt, holding the empty hash and the names of the calls made on its copies.
    Ref type = make_crypt_type(module);
    if (!type) return -1;
    auto *crypt_type = reinterpret_cast<PyTypeObject *>(type.get()); // the module keeps it
    auto *crypt = PyObject_GC_New(Crypt, crypt_type);
    if (!crypt) return -1;
    crypt->empty_hash = empty_hash.release();
    crypt->copy = crypt->update = crypt->digest = crypt->upper = crypt->lower = nullptr;
    PyObject_GC_Track(crypt);
    Ref m_crypt = Ref::steal(reinterpret_cast<PyObject *>(crypt));
    if (make_kept(*crypt, crypt_names) < 0) return -1;
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
    // The type and the work of sha256 for the other modules; the module holds the capsule.
    static CryptApi api{nullptr, hash_text};
    api.type = crypt_type;
    return PyModule_Add(module, "_api", PyCapsule_New(&api, "glimet_crypt._api", nullptr));
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "glimet_crypt",
    .m_doc = "Signing hash for glimet-work: m_crypt.sha256(text, case='upper').",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace
} // namespace glimet::crypt

PyMODINIT_FUNC PyInit_glimet_crypt(void) { return PyModuleDef_Init(&glimet::crypt::module_def); }
