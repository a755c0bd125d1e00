// TextBuilder's buffer management. Finished builders hand their buffer to the next one, so a
// call that builds a text allocates nothing for it but the result.
#include "support/text_builder.hpp"

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

} // namespace glimet
