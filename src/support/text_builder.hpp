// TextBuilder: a str written in the kind it will have. Its characters are stored in the
// narrowest kind that holds what has been written (ASCII, then Latin-1, UCS-2, UCS-4), made
// wider only when a wider character comes, so the finished str is canonical by construction.
// A short text is written in a scratch buffer lent from a small pool (builders nest) and copied
// into a str of its exact size; a long one moves on into the str that becomes the result,
// grown by reallocation and cut to its length at the end, so that it never takes much more
// memory than the result. Writes never fail one by one: running out of memory is remembered
// and reported by finish(), so most writers write straight-line code; those that write
// straight into the text reserve room first and stop when that fails.
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

    // Bytes per character of the text so far: 1, 2 or 4.
    int kind() const noexcept { return kind_; }
    size_t length() const noexcept { return size_; }
    // False once a write has run out of memory.
    bool ok() const noexcept { return !failed_; }

    // Makes room for `more` characters after the text; false once memory has run out.
    bool reserve(size_t more) noexcept { return capacity_ - size_ >= more || grow(more); }
    // Stores the text in a kind that holds `maxchar`; false once memory has run out.
    bool hold(Py_UCS4 maxchar) noexcept { return maxchar <= maxchar_ || widen(maxchar); }
    // Where the next character goes, as the kind's character type (Py_UCS1, Py_UCS2 or
    // Py_UCS4), for writers that reserved room and then say with `advance` how much they wrote.
    template <typename Char> Char *end() noexcept {
        return reinterpret_cast<Char *>(data_) + size_;
    }
    void advance(size_t written) noexcept { size_ += written; }
    // Calls write(at) with where the next character goes, as the kind's character type, for
    // writers that reserved room: write returns the end of what it wrote there, or null having
    // written nothing, and append whether it wrote.
    template <typename Write> bool append(Write &&write) noexcept {
        auto advance_to = [this](auto *at, auto *stop) {
            if (!stop) return false;
            size_ += static_cast<size_t>(stop - at);
            return true;
        };
        if (kind_ == 1) {
            Py_UCS1 *at = end<Py_UCS1>();
            return advance_to(at, write(at));
        }
        if (kind_ == 2) {
            Py_UCS2 *at = end<Py_UCS2>();
            return advance_to(at, write(at));
        }
        Py_UCS4 *at = end<Py_UCS4>();
        return advance_to(at, write(at));
    }
    // Appends ASCII text for which room has been reserved.
    void put(std::string_view text) noexcept {
        switch (kind_) {
        case 1:
            std::memcpy(end<Py_UCS1>(), text.data(), text.size());
            break;
        case 2:
            for (size_t i = 0; i < text.size(); ++i)
                end<Py_UCS2>()[i] = static_cast<unsigned char>(text[i]);
            break;
        default:
            for (size_t i = 0; i < text.size(); ++i)
                end<Py_UCS4>()[i] = static_cast<unsigned char>(text[i]);
        }
        size_ += text.size();
    }
    void put(char c) noexcept {
        switch (kind_) {
        case 1:
            end<Py_UCS1>()[0] = static_cast<Py_UCS1>(c);
            break;
        case 2:
            end<Py_UCS2>()[0] = static_cast<unsigned char>(c);
            break;
        default:
            end<Py_UCS4>()[0] = static_cast<unsigned char>(c);
        }
        ++size_;
    }

    // Appends one character of any width.
    void character(Py_UCS4 c) noexcept {
        if (c <= maxchar_ && size_ < capacity_) { // the text's kind holds it, and there is room
            if (kind_ == 1)
                end<Py_UCS1>()[0] = static_cast<Py_UCS1>(c);
            else if (kind_ == 2)
                end<Py_UCS2>()[0] = static_cast<Py_UCS2>(c);
            else
                end<Py_UCS4>()[0] = c;
            ++size_;
            return;
        }
        character_widening(c);
    }
    // Appends ASCII text.
    void ascii(std::string_view text) noexcept {
        if (reserve(text.size())) put(text);
    }
    // Appends text[start:end] of a str.
    void substring(PyObject *text, Py_ssize_t start, Py_ssize_t end) noexcept;
    void str(PyObject *text) noexcept;

    // Calls edit(chars, length) with the text so far as Py_UCS1, Py_UCS2 or Py_UCS4, for
    // edits in place that keep every character ASCII or leave it as it is.
    template <typename Edit> void edit(Edit &&edit) noexcept {
        if (kind_ == 1)
            edit(reinterpret_cast<Py_UCS1 *>(data_), size_);
        else if (kind_ == 2)
            edit(reinterpret_cast<Py_UCS2 *>(data_), size_);
        else
            edit(reinterpret_cast<Py_UCS4 *>(data_), size_);
    }

    // A point to come back to when a write turns out not to be wanted.
    struct Mark {
        size_t size;
        Py_UCS4 maxchar;
        bool failed;
    };
    Mark mark() const noexcept { return {size_, maxchar_, failed_}; }
    // Drops what was written since `m`, the text narrowed again to the kind it had then. A lack
    // of memory met since `m` is forgotten too, and whoever writes again asks for memory again;
    // only narrowing a text that lives in its str may itself run out, and then finish() says so.
    void rewind(Mark m) noexcept;

    // The str written; null with MemoryError if a write ran out of memory.
    Ref finish() noexcept;
    // The same, for a text about to be encoded: the str also holds its UTF-8, as
    // PyUnicode_AsUTF8 would leave it, when it has one (no lone surrogate).
    Ref finish_with_utf8() noexcept;

  private:
    bool grow(size_t more) noexcept;
    void character_widening(Py_UCS4 c) noexcept;
    bool widen(Py_UCS4 maxchar) noexcept;
    bool move_into_str(size_t capacity, Py_UCS4 maxchar) noexcept;
    void give_back_scratch() noexcept;

    bool scratch_ = false;     // whether the text is in a scratch buffer (else in text_)
    PyObject *text_ = nullptr; // owned: the str being written, `capacity_` characters long
    char *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    int kind_ = 1;
    Py_UCS4 maxchar_ = 127; // the widest character the kind of the text so far holds
    bool failed_ = false;
};

} // namespace glimet
