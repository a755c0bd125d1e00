// TextBuilder's buffer management. Finished builders hand their buffer to the next one, so a
// call that builds a text allocates nothing for it but the result.
#include "support/text_builder.hpp"
#include "support/utf8.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace glimet {
namespace {

// Buffers of finished builders, kept for reuse. Builders nest (one text may be written while
// another is open), so this is a small stack rather than one buffer.
constexpr int pool_size = 4;
constexpr size_t pool_keep_limit = size_t{1} << 20; // larger buffers go back to the allocator
struct Spare {
    Py_UCS4 *data;
    size_t capacity;
};
Spare pool[pool_size];
int pool_count = 0;

template <typename Char> void narrow(Char *out, const Py_UCS4 *in, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<Char>(in[i]);
}

template <typename Char> void widen(Py_UCS4 *out, const Char *in, Py_ssize_t n) {
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = in[i];
}

// UTF-8 of `n` characters at `in`, written at `out`; the end of what was written, or null at
// a lone surrogate. Blocks of sixteen ASCII characters are narrowed at once; any other block
// is encoded character by character.
char *encode_utf8(const Py_UCS4 *in, size_t n, char *out) noexcept {
    constexpr size_t block = 16;
    size_t i = 0;
#ifdef __SSE2__
    for (; n - i >= block; i += block) {
        const auto *at = reinterpret_cast<const __m128i *>(in + i);
        __m128i a = _mm_loadu_si128(at), b = _mm_loadu_si128(at + 1),
                c = _mm_loadu_si128(at + 2), d = _mm_loadu_si128(at + 3);
        __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
        __m128i high = _mm_and_si128(any, _mm_set1_epi32(~0x7F));
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) == 0xFFFF) {
            __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out), bytes);
            out += block;
            continue;
        }
        for (size_t k = 0; k < block; ++k)
            if (!(out = encode_utf8_character(in[i + k], out))) return nullptr;
    }
#endif
    for (; i < n; ++i)
        if (!(out = encode_utf8_character(in[i], out))) return nullptr;
    return out;
}

// Gives `text`, a str just made from `chars` whose widest character is `widest` (at least
// U+0080), the UTF-8 PyUnicode_AsUTF8 would make and keep in it. The interpreter keeps that
// in the str itself, allocated with PyMem_Malloc and freed with the str; this interpreter's
// layout of it is known, so it is written there directly, one pass from the characters
// instead of the interpreter's own encoder reading the narrowed str. Any other interpreter is
// asked to do it. Returns false, with nothing changed and no exception set, when the text
// has no UTF-8 or memory ran out.
bool attach_utf8(PyObject *text, const Py_UCS4 *chars, size_t n, Py_UCS4 widest) noexcept {
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
    size_t per_char = widest < 0x800 ? 2 : widest < 0x10000 ? 3 : 4;
    if (n > (PY_SSIZE_T_MAX - 1) / per_char) return false;
    size_t bound = n * per_char;
    auto *utf8 = static_cast<char *>(PyMem_Malloc(bound + 1));
    if (!utf8) return false;
    char *end = encode_utf8(chars, n, utf8);
    if (!end) {
        PyMem_Free(utf8);
        return false;
    }
    *end = '\0';
    auto length = static_cast<size_t>(end - utf8);
    if (bound - length > 4096) { // give back what a mostly narrow text did not need
        if (void *smaller = PyMem_Realloc(utf8, length + 1)) utf8 = static_cast<char *>(smaller);
    }
    auto *compact = reinterpret_cast<PyCompactUnicodeObject *>(text);
    compact->utf8 = utf8;
    compact->utf8_length = static_cast<Py_ssize_t>(length);
    return true;
#else
    (void)chars, (void)n, (void)widest;
    if (PyUnicode_AsUTF8AndSize(text, nullptr)) return true;
    PyErr_Clear();
    return false;
#endif
}

} // namespace

TextBuilder::TextBuilder() noexcept {
    if (pool_count > 0) {
        Spare spare = pool[--pool_count];
        data_ = spare.data;
        capacity_ = spare.capacity;
    }
}

TextBuilder::~TextBuilder() {
    if (data_ && pool_count < pool_size && capacity_ <= pool_keep_limit)
        pool[pool_count++] = {data_, capacity_};
    else
        PyMem_Free(data_);
}

bool TextBuilder::grow(size_t more) noexcept {
    if (failed_) return false;
    size_t wanted = size_ + more;
    size_t capacity = capacity_ ? capacity_ : 256;
    while (capacity < wanted) capacity *= 2;
    void *data = capacity <= PY_SSIZE_T_MAX / sizeof(Py_UCS4)
                     ? PyMem_Realloc(data_, capacity * sizeof(Py_UCS4))
                     : nullptr;
    if (!data) {
        failed_ = true;
        return false;
    }
    data_ = static_cast<Py_UCS4 *>(data);
    capacity_ = capacity;
    return true;
}

void TextBuilder::substring(PyObject *text, Py_ssize_t start, Py_ssize_t end) noexcept {
    Py_ssize_t n = end - start;
    if (n <= 0 || !reserve(static_cast<size_t>(n))) return;
    Py_UCS4 *out = data_ + size_;
    const void *in = PyUnicode_DATA(text);
    switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
        widen(out, static_cast<const Py_UCS1 *>(in) + start, n);
        break;
    case PyUnicode_2BYTE_KIND:
        widen(out, static_cast<const Py_UCS2 *>(in) + start, n);
        break;
    default:
        std::memcpy(out, static_cast<const Py_UCS4 *>(in) + start,
                    static_cast<size_t>(n) * sizeof(Py_UCS4));
        break;
    }
    size_ += static_cast<size_t>(n);
    // The widest character of the whole str bounds that of any slice of it.
    Py_UCS4 widest = PyUnicode_MAX_CHAR_VALUE(text);
    if (widest > maxchar_) {
        if (start == 0 && end == PyUnicode_GET_LENGTH(text)) {
            maxchar_ = widest;
        } else {
            for (Py_ssize_t i = 0; i < n; ++i)
                if (out[i] > maxchar_) maxchar_ = out[i];
        }
    }
}

Ref TextBuilder::finish() noexcept {
    if (failed_) {
        PyErr_NoMemory();
        return {};
    }
    auto length = static_cast<Py_ssize_t>(size_);
    Ref text = Ref::steal(PyUnicode_New(length, maxchar_));
    if (!text) return {};
    void *out = PyUnicode_DATA(text.get());
    switch (PyUnicode_KIND(text.get())) {
    case PyUnicode_1BYTE_KIND:
        narrow(static_cast<Py_UCS1 *>(out), data_, size_);
        break;
    case PyUnicode_2BYTE_KIND:
        narrow(static_cast<Py_UCS2 *>(out), data_, size_);
        break;
    default:
        if (size_) std::memcpy(out, data_, size_ * sizeof(Py_UCS4));
        break;
    }
    size_ = 0;
    maxchar_ = 0;
    return text;
}

Ref TextBuilder::finish_with_utf8() noexcept {
    size_t size = size_;
    Py_UCS4 widest = maxchar_;
    Ref text = finish(); // leaves the characters in the buffer
    if (text && widest >= 0x80) attach_utf8(text.get(), data_, size, widest);
    return text;
}

} // namespace glimet
