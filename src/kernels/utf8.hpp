// The UTF-8 kernel: the UTF-8 of text stored one, two or four bytes a character, as a str
// stores it, or null at a lone surrogate, which has none. Its scalar body is here, inline, for
// one character or many; its AVX-512 body is in utf8.cpp, behind utf8_encode.
#pragma once

#include <cstddef>
#include <cstdint>

namespace glimet::kernels {

// Writes the UTF-8 of `c` at `out` and returns the end of what was written; null for a lone
// surrogate.
inline char *encode_utf8_character(uint32_t c, char *out) noexcept {
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *out++ = static_cast<char>(0xC0 | (c >> 6));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        if (c >= 0xD800 && c <= 0xDFFF) return nullptr;
        *out++ = static_cast<char>(0xE0 | (c >> 12));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (c >> 18));
        *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

// The bytes utf8_encode may need for `n` characters stored `width` bytes each: at most 2, 3 or
// 4 a character, and 64 it may write past the end.
constexpr size_t utf8_room(size_t n, size_t width) noexcept {
    return n * (width == 1 ? 2 : width == 2 ? 3 : 4) + 64;
}

// The scalar body of utf8_encode.
template <typename Char> char *utf8_encode_scalar(const Char *in, size_t n, char *out) noexcept {
    for (size_t i = 0; i < n; ++i)
        if (!(out = encode_utf8_character(in[i], out))) return nullptr;
    return out;
}

// The UTF-8 of the `n` characters at `in` (Char: uint8_t, uint16_t or uint32_t) written at
// `out`, which has utf8_room(n, sizeof(Char)) bytes; the end of what was written, or null at a
// lone surrogate. By the body kernels::selection names (its AVX-512 body is in utf8.cpp).
template <typename Char> char *utf8_encode(const Char *in, size_t n, char *out) noexcept;

} // namespace glimet::kernels
