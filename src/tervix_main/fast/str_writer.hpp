// StrWriter: a str written in the kind it will have. Its characters are stored in the
// narrowest kind that holds what has been written (ASCII, then Latin-1, UCS-2, UCS-4), made
// wider only when a wider str is written, so it widens at most three times and the finished
// str is canonical by construction. A short text is written in a scratch buffer kept from one
// text to the next and copied into a str of its exact size (the allocator then serves texts of
// a size alike from memory it already has); a long one moves on into the str that becomes the
// result, grown by reallocation (large blocks move without a copy) and cut to its length at the
// end, so that it never takes much more memory than the result. Only for the fast routes.
#pragma once

#include "support/ref.hpp"

#include <cstring>

namespace glimet::tervix::fast {

class StrWriter {
public:
    StrWriter() noexcept;
    StrWriter(const StrWriter &) = delete;
    StrWriter &operator=(const StrWriter &) = delete;
    ~StrWriter();

    // Bytes per character of the text so far: 1, 2 or 4.
    int kind() const noexcept { return kind_; }
    // Makes room for `more` characters after what is written; false once memory has run out.
    bool reserve(size_t more) noexcept { return capacity_ - size_ >= more || grow(more); }
    // Stores what follows in a kind that holds `maxchar` (the widest character of a str about
    // to be written); false once memory has run out.
    bool hold(Py_UCS4 maxchar) noexcept { return maxchar <= maxchar_ || widen(maxchar); }

    // Where the next character goes, as the kind's character type; for writers that reserved
    // room and then say how much they wrote with `advance`.
    template <typename Char> Char *end() noexcept {
        return reinterpret_cast<Char *>(data_) + size_;
    }
    void advance(size_t written) noexcept { size_ += written; }

    // Appends ASCII text; room must have been reserved.
    void ascii(const char *text, size_t n) noexcept {
        switch (kind_) {
        case 1:
            std::memcpy(end<Py_UCS1>(), text, n);
            break;
        case 2:
            for (size_t i = 0; i < n; ++i) end<Py_UCS2>()[i] = static_cast<unsigned char>(text[i]);
            break;
        default:
            for (size_t i = 0; i < n; ++i) end<Py_UCS4>()[i] = static_cast<unsigned char>(text[i]);
        }
        size_ += n;
    }
    // Appends one ASCII character; room must have been reserved.
    void character(char c) noexcept {
        switch (kind_) {
        case 1:
            end<Py_UCS1>()[0] = static_cast<Py_UCS1>(c);
            break;
        case 2:
            end<Py_UCS2>()[0] = static_cast<Py_UCS2>(c);
            break;
        default:
            end<Py_UCS4>()[0] = static_cast<Py_UCS4>(c);
        }
        ++size_;
    }

    // The str written; null, with no exception set, if memory ran out on the way.
    Ref finish() noexcept;

private:
    bool grow(size_t more) noexcept;
    bool widen(Py_UCS4 maxchar) noexcept;
    bool move_into_str(size_t capacity, Py_UCS4 maxchar) noexcept;
    void give_back_scratch() noexcept;

    bool scratch_ = false;     // whether the text is in the scratch buffer
    PyObject *text_ = nullptr; // owned: the str being written, `capacity_` characters long
    char *data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
    int kind_ = 1;
    Py_UCS4 maxchar_ = 127;
    bool failed_ = false;
};

} // namespace glimet::tervix::fast
