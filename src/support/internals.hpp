// Every use of CPython's internals, in one place: what this interpreter's layout allows, for
// the interpreter the build is made for (3.13 with the GIL), and beside each its fallback on
// the public API for any other. Each use is for speed or for a check the public API cannot
// make; the fallbacks keep every result the same and give up only the speed.
#pragma once

#include "support/ref.hpp"

namespace glimet::internals {

// The interpreter whose internals are known here.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
#define GLIMET_KNOWN_INTERNALS 1
#else
#define GLIMET_KNOWN_INTERNALS 0
#endif

// The UTF-8 a str keeps once it has been asked for it (PyUnicode_AsUTF8 makes and keeps it),
// or null when it keeps none. Never makes one and never fails.
inline const char *kept_utf8(PyObject *text, Py_ssize_t *size) noexcept {
#if GLIMET_KNOWN_INTERNALS
    if (PyUnicode_IS_ASCII(text) || !PyUnicode_IS_COMPACT(text)) return nullptr;
    auto *compact = reinterpret_cast<PyCompactUnicodeObject *>(text);
    *size = compact->utf8_length;
    return compact->utf8;
#else
    (void)text, (void)size;
    return nullptr;
#endif
}

// Whether keep_utf8 can give a str its UTF-8; where it cannot, the caller asks
// PyUnicode_AsUTF8AndSize, which encodes the str itself.
inline constexpr bool can_keep_utf8 = GLIMET_KNOWN_INTERNALS;

// Gives `text`, a non-ASCII str just made and seen by no one else, `utf8` (PyMem_Malloc'd,
// `size` bytes and a NUL, the UTF-8 of its characters) to keep, as PyUnicode_AsUTF8 would
// have made it; the str frees it. Only where can_keep_utf8 holds.
inline void keep_utf8(PyObject *text, char *utf8, Py_ssize_t size) noexcept {
#if GLIMET_KNOWN_INTERNALS
    auto *compact = reinterpret_cast<PyCompactUnicodeObject *>(text);
    compact->utf8 = utf8;
    compact->utf8_length = size;
#else
    (void)text, (void)size;
    PyMem_Free(utf8);
#endif
}

// A new dict with room for `size` entries without growing; the public fallback grows as
// entries come.
inline PyObject *new_dict(Py_ssize_t size) noexcept {
#if GLIMET_KNOWN_INTERNALS
    return _PyDict_NewPresized(size);
#else
    (void)size;
    return PyDict_New();
#endif
}

// The value of an exact int that fits in a long long; false, with no exception, for a larger
// one. Ints below 2**30 in size are read without the overflow check.
inline bool small_int(PyObject *value, long long *result) noexcept {
#if GLIMET_KNOWN_INTERNALS
    auto *number = reinterpret_cast<PyLongObject *>(value);
    if (PyUnstable_Long_IsCompact(number)) {
        *result = PyUnstable_Long_CompactValue(number);
        return true;
    }
#endif
    int overflow = 0;
    *result = PyLong_AsLongLongAndOverflow(value, &overflow);
    return !overflow; // cannot fail otherwise for an exact int
}

// The version tag of `type`, given one if it has none: nonzero, and unchanged for as long as
// neither the type nor any of its bases changes (a change clears it, and a new one is never
// one given before). 0 when none can be had, so that nothing is taken as unchanged.
inline unsigned int type_version(PyTypeObject *type) noexcept {
#if GLIMET_KNOWN_INTERNALS
    if (!PyUnstable_Type_AssignVersionTag(type)) return 0;
    return type->tp_version_tag;
#else
    (void)type;
    return 0;
#endif
}

// Calls visit(key, value) with each entry of `dict` (an exact dict) in order, both borrowed,
// for as long as it returns true; returns false if it stopped it. `visit` must not change the
// dict. Where the dict's table is known here (keys and values stored together) it is read in
// place, the objects of the entry `ahead` places on fetched into the cache meanwhile;
// otherwise PyDict_Next reads it.
template <int ahead, typename Visit> bool for_each_entry(PyObject *dict, Visit &&visit) {
#if GLIMET_KNOWN_INTERNALS
    auto *object = reinterpret_cast<PyDictObject *>(dict);
    if (!object->ma_values) {
        // The head of the keys object; its hash index (2**log2_index_bytes bytes) follows, then
        // the entries: hash, key, value for any keys, key and value for str keys only.
        struct KeysHead {
            Py_ssize_t refcnt;
            uint8_t log2_size, log2_index_bytes, kind;
            uint32_t version;
            Py_ssize_t usable, entry_count;
        };
        static_assert(sizeof(KeysHead) == 32);
        const auto *keys = reinterpret_cast<const KeysHead *>(object->ma_keys);
        const char *entries = reinterpret_cast<const char *>(keys + 1) +
                              (size_t{1} << keys->log2_index_bytes);
        bool general = keys->kind == 0;
        auto *slots = reinterpret_cast<PyObject *const *>(entries + (general ? sizeof(void *) : 0));
        size_t step = general ? 3 : 2, count = static_cast<size_t>(keys->entry_count);
        for (size_t i = 0; i < count; ++i) {
            PyObject *const *slot = slots + i * step; // key, then value (null when deleted)
            if (i + ahead < count) {
                __builtin_prefetch(slot[ahead * step]);
                __builtin_prefetch(slot[ahead * step + 1]);
            }
            if (slot[1] && !visit(slot[0], slot[1])) return false;
        }
        return true;
    }
#endif
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value))
        if (!visit(key, value)) return false;
    return true;
}

// How many more Python frames the running thread may push before RecursionError; 0 where it
// cannot be read, so that nothing counts on there being room.
inline int python_frames_left() noexcept {
#if GLIMET_KNOWN_INTERNALS
    return PyThreadState_GetUnchecked()->py_recursion_remaining;
#else
    return 0;
#endif
}

// How many levels of the C recursion budget the running thread may still enter, counted up
// to `wanted` at most. Where the count cannot be read, the levels are entered one by one (and
// left again) to find it.
inline int c_levels_left(int wanted) noexcept {
#if GLIMET_KNOWN_INTERNALS
    // A level is entered while the count, before it is taken, is not below zero.
    int left = PyThreadState_GetUnchecked()->c_recursion_remaining + 1;
    return left < wanted ? (left > 0 ? left : 0) : wanted;
#else
    int entered = 0;
    while (entered < wanted && !Py_EnterRecursiveCall("")) ++entered;
    PyErr_Clear();
    for (int i = 0; i < entered; ++i) Py_LeaveRecursiveCall();
    return entered;
#endif
}

// Whether a trace or profile function is set on the running thread, which would see the
// Python frames a fast route leaves out; true where it cannot be read.
inline bool traced() noexcept {
#if GLIMET_KNOWN_INTERNALS
    PyThreadState *thread = PyThreadState_GetUnchecked();
    return thread->c_tracefunc || thread->c_profilefunc;
#else
    return true;
#endif
}

} // namespace glimet::internals
