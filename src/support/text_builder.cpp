// TextBuilder's scratch pool, growth, widening and narrowing, and finish.
#include "support/text_builder.hpp"

#include "kernels/utf8.hpp"
#include "support/characters.hpp"
#include "support/internals.hpp"

#include <algorithm>

namespace glimet {
namespace {

// Scratch buffers of finished builders, kept for the next ones. Builders nest (one text may be
// written while another is open), so this is a small stack rather than one buffer.
constexpr size_t scratch_limit = size_t{4} << 20; // bytes; longer texts go into their str
constexpr int pool_size = 4;
struct Spare {
    char *data;
    size_t bytes;
};
Spare pool[pool_size];
int pool_count = 0;

// Copies `n` characters of kind `from` at `in` to `out` as characters of kind `to`. Widening
// goes from the end and narrowing from the start, so that either may be done in place.
template <typename From, typename To> void convert(const void *from, void *to, size_t n) {
    const auto *in = static_cast<const From *>(from);
    auto *out = static_cast<To *>(to);
    if constexpr (sizeof(To) > sizeof(From)) {
        for (size_t i = n; i-- > 0;) out[i] = in[i];
    } else {
        for (size_t i = 0; i < n; ++i) out[i] = static_cast<To>(in[i]);
    }
}

void convert_characters(int from, int to, const void *in, void *out, size_t n) {
    if (n == 0) return;
    if (from == to)
        std::memmove(out, in, n * static_cast<size_t>(to));
    else if (from == 1)
        to == 2 ? convert<Py_UCS1, Py_UCS2>(in, out, n) : convert<Py_UCS1, Py_UCS4>(in, out, n);
    else if (from == 2)
        to == 1 ? convert<Py_UCS2, Py_UCS1>(in, out, n) : convert<Py_UCS2, Py_UCS4>(in, out, n);
    else
        to == 1 ? convert<Py_UCS4, Py_UCS1>(in, out, n) : convert<Py_UCS4, Py_UCS2>(in, out, n);
}

// The widest character of the str kind that holds `c`, ASCII and Latin-1 told apart.
Py_UCS4 kind_limit(Py_UCS4 c) {
    return c < 128 ? 127 : c < 256 ? 255 : c < 65536 ? 65535 : 0x10FFFF;
}

int kind_for(Py_UCS4 maxchar) { return maxchar < 256 ? 1 : maxchar < 65536 ? 2 : 4; }

// Gives `text`, a non-ASCII str just made, the UTF-8 PyUnicode_AsUTF8 would make and keep in
// it: encoded in one pass from its characters where this interpreter lets the str be handed
// its UTF-8, by the interpreter otherwise. Nothing changes, and no exception is left set, when
// the text has no UTF-8 (a lone surrogate) or memory runs out.
void attach_utf8(PyObject *text) noexcept {
    if constexpr (internals::can_keep_utf8) {
        auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
        auto width = static_cast<size_t>(PyUnicode_KIND(text));
        size_t per_char = width == 1 ? 2 : width == 2 ? 3 : 4;
        if (n > (PY_SSIZE_T_MAX - 65) / per_char) return;
        // Room for what the encoder writes past the end, and for the NUL.
        size_t room = kernels::utf8_room(n, width) + 1;
        auto *utf8 = static_cast<char *>(PyMem_Malloc(room));
        if (!utf8) return;
        char *end = with_characters(text, [utf8](const auto *chars, Py_ssize_t length) {
            return kernels::utf8_encode(chars, static_cast<size_t>(length), utf8);
        });
        if (!end) {
            PyMem_Free(utf8);
            return;
        }
        *end = '\0';
        auto length = static_cast<size_t>(end - utf8);
        if (room - length > 4096) { // give back what a mostly narrow text did not need
            if (void *smaller = PyMem_Realloc(utf8, length + 1))
                utf8 = static_cast<char *>(smaller);
        }
        internals::keep_utf8(text, utf8, static_cast<Py_ssize_t>(length));
    } else {
        if (!PyUnicode_AsUTF8AndSize(text, nullptr)) PyErr_Clear();
    }
}

} // namespace

TextBuilder::TextBuilder() noexcept : scratch_(true) {
    if (pool_count > 0) {
        Spare spare = pool[--pool_count];
        data_ = spare.data;
        capacity_ = spare.bytes;
    }
}

// Gives the scratch buffer back to the pool, or to the allocator when the pool is full.
void TextBuilder::give_back_scratch() noexcept {
    if (data_ && pool_count < pool_size)
        pool[pool_count++] = {data_, capacity_ * static_cast<size_t>(kind_)};
    else
        PyMem_RawFree(data_);
    scratch_ = false;
    data_ = nullptr;
}

TextBuilder::~TextBuilder() {
    if (scratch_) give_back_scratch();
    Py_XDECREF(text_);
}

bool TextBuilder::move_into_str(size_t capacity, Py_UCS4 maxchar) noexcept {
    PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(capacity), maxchar);
    if (!text) {
        PyErr_Clear();
        failed_ = true;
        return false;
    }
    int kind = PyUnicode_KIND(text);
    convert_characters(kind_, kind, data_, PyUnicode_DATA(text), size_);
    if (scratch_) give_back_scratch();
    Py_XSETREF(text_, text);
    data_ = static_cast<char *>(PyUnicode_DATA(text));
    capacity_ = capacity;
    kind_ = kind;
    maxchar_ = maxchar;
    return true;
}

bool TextBuilder::grow(size_t more) noexcept {
    if (failed_) return false;
    // Half as much again: the realloc of a large block moves pages rather than bytes, and what
    // is never written is never touched.
    size_t capacity = std::max({size_ + more, capacity_ + capacity_ / 2, size_t{256}});
    if (more > static_cast<size_t>(PY_SSIZE_T_MAX) / 8 ||
        capacity > static_cast<size_t>(PY_SSIZE_T_MAX) / 8) {
        failed_ = true;
        return false;
    }
    auto bytes = capacity * static_cast<size_t>(kind_);
    if (scratch_ && bytes <= scratch_limit) {
        void *data = PyMem_RawRealloc(data_, bytes);
        if (!data) {
            failed_ = true;
            return false;
        }
        data_ = static_cast<char *>(data);
        capacity_ = capacity;
        return true;
    }
    if (!text_) return move_into_str(capacity, maxchar_);
    if (PyUnicode_Resize(&text_, static_cast<Py_ssize_t>(capacity)) < 0) {
        PyErr_Clear(); // the str is still ours, as it was
        failed_ = true;
        return false;
    }
    data_ = static_cast<char *>(PyUnicode_DATA(text_));
    capacity_ = capacity;
    return true;
}

bool TextBuilder::widen(Py_UCS4 c) noexcept {
    if (failed_) return false;
    Py_UCS4 maxchar = kind_limit(c);
    int kind = kind_for(maxchar);
    // A str's layout tells ASCII from Latin-1: one in a str moves to a new one even then.
    if (!scratch_) return move_into_str(std::max(capacity_, size_t{256}), maxchar);
    if (kind == kind_) { // from ASCII to Latin-1: the same bytes
        maxchar_ = maxchar;
        return true;
    }
    // In the scratch buffer, widened in place: as many bytes as it has, or more if the text
    // so far needs them.
    size_t bytes = capacity_ * static_cast<size_t>(kind_);
    size_t capacity = std::max(bytes / static_cast<size_t>(kind), size_ + 256);
    size_t wanted = capacity * static_cast<size_t>(kind);
    if (wanted > scratch_limit) return move_into_str(capacity, maxchar);
    if (wanted > bytes) {
        void *data = PyMem_RawRealloc(data_, wanted);
        if (!data) {
            failed_ = true;
            return false;
        }
        data_ = static_cast<char *>(data);
    }
    convert_characters(kind_, kind, data_, data_, size_);
    capacity_ = capacity;
    kind_ = kind;
    maxchar_ = maxchar;
    return true;
}

// character() for a character its kind does not hold, or when the room is used up.
void TextBuilder::character_widening(Py_UCS4 c) noexcept {
    if (!hold(c) || !reserve(1)) return;
    switch (kind_) {
    case 1:
        end<Py_UCS1>()[0] = static_cast<Py_UCS1>(c);
        break;
    case 2:
        end<Py_UCS2>()[0] = static_cast<Py_UCS2>(c);
        break;
    default:
        end<Py_UCS4>()[0] = c;
    }
    ++size_;
}

void TextBuilder::str(PyObject *text) noexcept {
    auto n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    // A str is canonical: its kind's widest character is one it holds.
    if (n == 0 || !hold(PyUnicode_MAX_CHAR_VALUE(text)) || !reserve(n)) return;
    convert_characters(PyUnicode_KIND(text), kind_, PyUnicode_DATA(text),
                       data_ + size_ * static_cast<size_t>(kind_), n);
    size_ += n;
}

void TextBuilder::substring(PyObject *text, Py_ssize_t start, Py_ssize_t end) noexcept {
    if (end <= start) return;
    if (start == 0 && end == PyUnicode_GET_LENGTH(text)) return str(text);
    // The widest character of the slice, looked for only if the whole str has wider ones.
    auto n = static_cast<size_t>(end - start);
    if (PyUnicode_MAX_CHAR_VALUE(text) > maxchar_) {
        Py_UCS4 widest = with_characters(text, [&](const auto *chars, Py_ssize_t) {
            Py_UCS4 most = 0;
            for (Py_ssize_t i = start; i < end; ++i) most = std::max<Py_UCS4>(most, chars[i]);
            return most;
        });
        if (!hold(widest)) return;
    }
    if (!reserve(n)) return;
    int from = PyUnicode_KIND(text);
    const char *in = static_cast<const char *>(PyUnicode_DATA(text)) + start * from;
    convert_characters(from, kind_, in, data_ + size_ * static_cast<size_t>(kind_), n);
    size_ += n;
}

void TextBuilder::rewind(Mark m) noexcept {
    size_ = std::min(size_, m.size);
    failed_ = m.failed;
    if (maxchar_ == m.maxchar) return;
    // Narrowed again to the kind of what remains: in place in a scratch buffer, into a new str
    // of that kind otherwise (a str's kind is fixed when it is made).
    int kind = kind_for(m.maxchar);
    if (scratch_) {
        convert_characters(kind_, kind, data_, data_, size_);
        capacity_ = capacity_ * static_cast<size_t>(kind_) / static_cast<size_t>(kind);
        kind_ = kind;
        maxchar_ = m.maxchar;
    } else if (!move_into_str(capacity_, m.maxchar)) {
        failed_ = true;
    }
}

Ref TextBuilder::finish() noexcept {
    if (failed_) {
        PyErr_NoMemory();
        return {};
    }
    Ref text;
    if (text_) {
        if (size_ < capacity_ && PyUnicode_Resize(&text_, static_cast<Py_ssize_t>(size_)) < 0)
            return {}; // MemoryError set; the str is still ours, and freed with the builder
        text = Ref::steal(std::exchange(text_, nullptr));
        data_ = nullptr;
        capacity_ = 0;
    } else {
        text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size_), maxchar_));
        if (!text) return {};
        if (size_)
            std::memcpy(PyUnicode_DATA(text.get()), data_, size_ * static_cast<size_t>(kind_));
        capacity_ = capacity_ * static_cast<size_t>(kind_); // the scratch buffer's bytes
    }
    // Empty again, as a new builder is.
    size_ = 0;
    kind_ = 1;
    maxchar_ = 127;
    return text;
}

Ref TextBuilder::finish_with_utf8() noexcept {
    Ref text = finish();
    if (text && !PyUnicode_IS_ASCII(text.get())) attach_utf8(text.get());
    return text;
}

} // namespace glimet
