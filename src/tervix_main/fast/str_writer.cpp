// StrWriter's scratch buffer, growth, widening and finish.
#include "tervix_main/fast/str_writer.hpp"

#include <algorithm>

namespace glimet::tervix::fast {
namespace {

// The scratch buffer: kept for the process once made, and lent to one writer at a time.
constexpr size_t scratch_limit = size_t{4} << 20; // bytes; longer texts go into their str
struct Scratch {
    char *data = nullptr;
    size_t bytes = 0;
    bool lent = false;
} scratch;

template <typename From, typename To> void widen_copy(const void *from, void *to, size_t n) {
    const auto *in = static_cast<const From *>(from);
    auto *out = static_cast<To *>(to);
    // From the end, so that the copy may be made in place.
    for (size_t i = n; i-- > 0;) out[i] = in[i];
}

// Copies `n` characters of kind `from` at `in` to `out` as characters of kind `to`, the wider.
void widen_characters(int from, int to, const void *in, void *out, size_t n) {
    if (n == 0) return;
    if (from == to)
        std::memmove(out, in, n * static_cast<size_t>(to));
    else if (from == 1 && to == 2)
        widen_copy<Py_UCS1, Py_UCS2>(in, out, n);
    else if (from == 1)
        widen_copy<Py_UCS1, Py_UCS4>(in, out, n);
    else
        widen_copy<Py_UCS2, Py_UCS4>(in, out, n);
}

// The kind of the str that holds `maxchar`.
int kind_for(Py_UCS4 maxchar) { return maxchar < 256 ? 1 : maxchar < 65536 ? 2 : 4; }

} // namespace

StrWriter::StrWriter() noexcept {
    if (!scratch.lent) {
        scratch.lent = scratch_ = true;
        data_ = scratch.data;
        capacity_ = scratch.bytes;
    }
}

// Gives the scratch buffer back, kept for the next text.
void StrWriter::give_back_scratch() noexcept {
    scratch = {data_, capacity_ * static_cast<size_t>(kind_), false};
    scratch_ = false;
}

StrWriter::~StrWriter() {
    if (scratch_) give_back_scratch();
    Py_XDECREF(text_);
}

bool StrWriter::move_into_str(size_t capacity, Py_UCS4 maxchar) noexcept {
    PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(capacity), maxchar);
    if (!text) {
        PyErr_Clear();
        failed_ = true;
        return false;
    }
    int kind = PyUnicode_KIND(text);
    widen_characters(kind_, kind, data_, PyUnicode_DATA(text), size_);
    if (scratch_) give_back_scratch();
    Py_XSETREF(text_, text);
    data_ = static_cast<char *>(PyUnicode_DATA(text));
    capacity_ = capacity;
    kind_ = kind;
    maxchar_ = PyUnicode_MAX_CHAR_VALUE(text);
    return true;
}

bool StrWriter::grow(size_t more) noexcept {
    if (failed_) return false;
    // Half as much again: the realloc of a large block moves pages rather than bytes, and what
    // is never written is never touched.
    size_t capacity = std::max({size_ + more, capacity_ + capacity_ / 2, size_t{256}});
    if (capacity > static_cast<size_t>(PY_SSIZE_T_MAX) / 8) {
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

bool StrWriter::widen(Py_UCS4 maxchar) noexcept {
    if (failed_) return false;
    int kind = kind_for(maxchar);
    if (!scratch_) return move_into_str(std::max(capacity_, size_t{256}), maxchar);
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
    widen_characters(kind_, kind, data_, data_, size_);
    capacity_ = capacity;
    kind_ = kind;
    maxchar_ = maxchar;
    return true;
}

Ref StrWriter::finish() noexcept {
    if (failed_) return {};
    Ref text;
    if (text_) {
        if (size_ < capacity_ && PyUnicode_Resize(&text_, static_cast<Py_ssize_t>(size_)) < 0) {
            PyErr_Clear();
            return {};
        }
        text = Ref::steal(std::exchange(text_, nullptr));
    } else {
        text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size_), maxchar_));
        if (!text) {
            PyErr_Clear();
            return {};
        }
        if (size_)
            std::memcpy(PyUnicode_DATA(text.get()), data_, size_ * static_cast<size_t>(kind_));
    }
    size_ = 0;
    return text;
}

} // namespace glimet::tervix::fast
