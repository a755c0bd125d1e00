// UTF-8 encoding, shared by every module that encodes text itself. Free of Python, so that the
// curl reader's core (and its fuzzer) can use it too.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace glimet {

// Writes the UTF-8 of `c` at `out` and returns the end of what was written; null for a lone
// surrogate, which has no UTF-8.
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

// The UTF-8 of the `n` characters at `in` (stored one, two or four bytes each), written at
// `out`, which has room for it (at most 2, 3 or 4 bytes a character for characters stored in
// one, two or four bytes); the end of what was written, or null at a lone surrogate.
// Four-byte characters go sixteen at a time where a block is all ASCII.
template <typename Char> char *encode_utf8(const Char *in, size_t n, char *out) noexcept {
    size_t i = 0;
#ifdef __SSE2__
    if constexpr (sizeof(Char) == 4) {
        constexpr size_t block = 16;
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
    }
#endif
    for (; i < n; ++i)
        if (!(out = encode_utf8_character(in[i], out))) return nullptr;
    return out;
}

} // namespace glimet
