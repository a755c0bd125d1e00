// TextBuilder's buffer management. Finished builders hand their buffer to the next one, so a
// call that builds a text allocates nothing for it but the result.
#include "support/text_builder.hpp"

#include "support/characters.hpp"
#include "support/internals.hpp"
#include "support/utf8.hpp"

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

// Gives `text`, a str just made from `chars` whose widest character is `widest` (at least
// U+0080), the UTF-8 PyUnicode_AsUTF8 would make and keep in it: encoded in one pass from the
// characters where this interpreter lets the str be handed its UTF-8, by the interpreter from
// the narrowed str otherwise. Nothing changes, and no exception is left set, when the text has
// no UTF-8 (a lone surrogate) or memory runs out.
void attach_utf8(PyObject *text, const Py_UCS4 *chars, size_t n, Py_UCS4 widest) noexcept {
    if constexpr (internals::can_keep_utf8) {
        size_t per_char = widest < 0x800 ? 2 : widest < 0x10000 ? 3 : 4;
        if (n > (PY_SSIZE_T_MAX - 65) / per_char) return;
        size_t bound = n * per_char;
        // Room for what the encoder writes past the end (utf8_room), and for the NUL.
        auto *utf8 = static_cast<char *>(PyMem_Malloc(bound + 65));
        if (!utf8) return;
        char *end = encode_utf8_best(chars, n, utf8);
        if (!end) {
            PyMem_Free(utf8);
            return;
        }
        *end = '\0';
        auto length = static_cast<size_t>(end - utf8);
        if (bound - length > 4096) { // give back what a mostly narrow text did not need
            if (void *smaller = PyMem_Realloc(utf8, length + 1))
                utf8 = static_cast<char *>(smaller);
        }
        internals::keep_utf8(text, utf8, static_cast<Py_ssize_t>(length));
    } else {
        (void)chars, (void)n, (void)widest;
        if (!PyUnicode_AsUTF8AndSize(text, nullptr)) PyErr_Clear();
    }
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
    with_characters(text, [&](const auto *chars, Py_ssize_t) {
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = chars[start + i];
    });
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
