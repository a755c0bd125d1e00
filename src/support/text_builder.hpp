// TextBuilder: a str assembled in a reusable UCS-4 scratch buffer, then made in one allocation of
// the narrowest kind that holds it. Writes never fail one by one: running out of memory is
// remembered and reported by finish(), so a builder's users write straight-line code.
#pragma once

#include "support/ref.hpp"

#include <cstring>
#include <string_view>

namespace glimet {

class TextBuilder {
public:
    TextBuilder() noexcept;
    TextBuilder(const TextBuilder &) = delete;
    TextBuilder &operator=(const TextBuilder &) = delete;
    ~TextBuilder();

    void character(Py_UCS4 c) noexcept {
        if (size_ == capacity_ && !grow(1)) return;
        data_[size_++] = c;
        if (c > maxchar_) maxchar_ = c;
    }
    void ascii(std::string_view text) noexcept {
        if (!reserve(text.size())) return;
        for (char c : text) data_[size_++] = static_cast<unsigned char>(c);
    }
    // Appends `n` characters, none wider than `widest`; `widest` must need no wider str kind
    // than the widest character of the finished text.
    void chars(const Py_UCS4 *text, size_t n, Py_UCS4 widest) noexcept {
        if (!reserve(n)) return;
        std::memcpy(data_ + size_, text, n * sizeof(Py_UCS4));
        size_ += n;
        if (widest > maxchar_) maxchar_ = widest;
    }
    // Appends text[start:end] of a str.
    void substring(PyObject *text, Py_ssize_t start, Py_ssize_t end) noexcept;
    void str(PyObject *text) noexcept { substring(text, 0, PyUnicode_GET_LENGTH(text)); }

    size_t length() const noexcept { return size_; }
    // The widest character written so far, or wider within the same str kind.
    Py_UCS4 widest() const noexcept { return maxchar_; }
    // False once a write has run out of memory.
    bool ok() const noexcept { return !failed_; }
    // What has been written so far, for edits in place that keep every character ASCII or
    // leave it as it is (the widest character is not recomputed).
    Py_UCS4 *data() noexcept { return data_; }

    // A point to come back to when a write turns out not to be wanted.
    struct Mark {
        size_t size;
        Py_UCS4 maxchar;
        bool failed;
    };
    Mark mark() const noexcept { return {size_, maxchar_, failed_}; }
    // Drops what was written since `m`; the widest character is that of what remains, since
    // it only ever grows. A lack of memory met since `m` is forgotten too: the buffer is as it
    // was, and whoever writes again asks for memory again.
    void rewind(Mark m) noexcept {
        size_ = m.size;
        maxchar_ = m.maxchar;
        failed_ = m.failed;
    }
    // The str written so far; null with MemoryError if a write ran out of memory.
    Ref finish() noexcept;
    // The same, for a text about to be encoded: the str also holds its UTF-8, as
    // PyUnicode_AsUTF8 would leave it, when it has one (no lone surrogate).
    Ref finish_with_utf8() noexcept;

private:
    bool reserve(size_t more) noexcept { return capacity_ - size_ >= more || grow(more); }
    bool grow(size_t more) noexcept;

    Py_UCS4 *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    Py_UCS4 maxchar_ = 0;
    bool failed_ = false;
};

} // namespace glimet
