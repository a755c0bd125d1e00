// The escape kernel: JSON string text with ensure_ascii off, as the standard encoder writes it
// (only the quotation mark, the backslash and the characters below U+0020 are escaped). A
// writer copies runs of characters that need no escape with copy_unescaped, a block at a time,
// widened to its text's width on the way, and writes escape_sequence for each that does.
// Header-only, so that the copy is inlined into the writers' loops.
#pragma once

#include "kernels/kernels.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(GLIMET_X86_64)
#include <emmintrin.h>
#elif defined(GLIMET_AARCH64)
#include <arm_neon.h>
#endif

namespace glimet::kernels {

template <typename Char> constexpr bool needs_escape(Char c) noexcept {
    return c < 32 || c == '"' || c == '\\';
}

// The escape of `c`, which needs one: "\\\"", "\\\\", "\\n" and the like, or "\\u00XX".
inline std::string_view escape_sequence(uint32_t c) noexcept {
    static const char *const control[32] = {
        "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
        "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
        "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
        "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
    };
    if (c < 32) return control[c];
    return c == '"' ? "\\\"" : "\\\\";
}

// The longest escape_sequence.
inline constexpr size_t escape_room = 6;

// The scalar body of copy_unescaped.
template <typename In, typename Out>
size_t copy_unescaped_scalar(const In *in, size_t n, Out *out) noexcept {
    for (size_t i = 0; i < n; ++i) {
        if (needs_escape(in[i])) return i;
        out[i] = static_cast<Out>(in[i]);
    }
    return n;
}

namespace escape_detail {

// Copies `n` characters, fewer than 16 bytes of them, from `in` to `out` in units that may
// overlap, so that nothing is read or written outside the `n` characters.
template <typename In, typename Out> void copy_short(const In *in, size_t n, Out *out) noexcept {
    if constexpr (sizeof(In) == sizeof(Out)) {
        size_t bytes = n * sizeof(In);
        auto copy = [&](auto unit) {
            constexpr size_t size = sizeof unit;
            auto *from = reinterpret_cast<const char *>(in);
            auto *to = reinterpret_cast<char *>(out);
            std::memcpy(&unit, from, size);
            std::memcpy(to, &unit, size);
            std::memcpy(&unit, from + bytes - size, size);
            std::memcpy(to + bytes - size, &unit, size);
        };
        if (bytes >= 8)
            copy(uint64_t{});
        else if (bytes >= 4)
            copy(uint32_t{});
        else if (bytes >= 2)
            copy(uint16_t{});
        else if (bytes == 1)
            out[0] = in[0];
    } else {
        for (size_t i = 0; i < n; ++i) out[i] = in[i];
    }
}

} // namespace escape_detail

#if defined(GLIMET_X86_64)
namespace escape_detail {

// The characters of one 16-byte block: 16, 8 or 4 of them.
template <typename In> constexpr size_t block = 16 / sizeof(In);

// A bit per byte of `x`, set in the bytes of characters that need an escape.
template <typename In> unsigned escape_bits(__m128i x) noexcept {
    __m128i quote, backslash, control;
    if constexpr (sizeof(In) == 1) {
        quote = _mm_cmpeq_epi8(x, _mm_set1_epi8('"'));
        backslash = _mm_cmpeq_epi8(x, _mm_set1_epi8('\\'));
        control = _mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(31)), _mm_set1_epi8(31));
    } else if constexpr (sizeof(In) == 2) {
        quote = _mm_cmpeq_epi16(x, _mm_set1_epi16('"'));
        backslash = _mm_cmpeq_epi16(x, _mm_set1_epi16('\\'));
        control = _mm_cmpeq_epi16(_mm_subs_epu16(x, _mm_set1_epi16(31)), _mm_setzero_si128());
    } else { // code points stay below 2**31, so the signed comparison holds
        quote = _mm_cmpeq_epi32(x, _mm_set1_epi32('"'));
        backslash = _mm_cmpeq_epi32(x, _mm_set1_epi32('\\'));
        control = _mm_cmplt_epi32(x, _mm_set1_epi32(32));
    }
    __m128i special = _mm_or_si128(_mm_or_si128(quote, backslash), control);
    return static_cast<unsigned>(_mm_movemask_epi8(special));
}

// Stores the block `x` of In characters at `out` as Out characters.
template <typename In, typename Out> void store_block(Out *out, __m128i x) noexcept {
    auto *at = reinterpret_cast<__m128i *>(out);
    __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(In) == sizeof(Out)) {
        _mm_storeu_si128(at, x);
    } else if constexpr (sizeof(In) == 2) { // to UCS-4
        _mm_storeu_si128(at, _mm_unpacklo_epi16(x, zero));
        _mm_storeu_si128(at + 1, _mm_unpackhi_epi16(x, zero));
    } else if constexpr (sizeof(Out) == 2) { // UCS-1 to UCS-2
        _mm_storeu_si128(at, _mm_unpacklo_epi8(x, zero));
        _mm_storeu_si128(at + 1, _mm_unpackhi_epi8(x, zero));
    } else { // UCS-1 to UCS-4
        __m128i low = _mm_unpacklo_epi8(x, zero), high = _mm_unpackhi_epi8(x, zero);
        _mm_storeu_si128(at, _mm_unpacklo_epi16(low, zero));
        _mm_storeu_si128(at + 1, _mm_unpackhi_epi16(low, zero));
        _mm_storeu_si128(at + 2, _mm_unpacklo_epi16(high, zero));
        _mm_storeu_si128(at + 3, _mm_unpackhi_epi16(high, zero));
    }
}

// copy_short for one-byte characters widened to two or four: eight or four at a time, in
// units that may overlap, widened in a register.
template <typename Out> void widen_short(const uint8_t *in, size_t n, Out *out) noexcept {
    auto widen = [&](size_t at, __m128i x) {
        x = _mm_unpacklo_epi8(x, _mm_setzero_si128());
        if constexpr (sizeof(Out) == 2) {
            if (n >= 8) return _mm_storeu_si128(reinterpret_cast<__m128i *>(out + at), x);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(out + at), x);
        } else {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + at),
                             _mm_unpacklo_epi16(x, _mm_setzero_si128()));
            if (n >= 8)
                _mm_storeu_si128(reinterpret_cast<__m128i *>(out + at + 4),
                                 _mm_unpackhi_epi16(x, _mm_setzero_si128()));
        }
    };
    if (n >= 8) {
        widen(0, _mm_loadl_epi64(reinterpret_cast<const __m128i *>(in)));
        widen(n - 8, _mm_loadl_epi64(reinterpret_cast<const __m128i *>(in + n - 8)));
    } else if (n >= 4) {
        uint32_t first, last;
        std::memcpy(&first, in, 4);
        std::memcpy(&last, in + n - 4, 4);
        widen(0, _mm_cvtsi32_si128(static_cast<int>(first)));
        widen(n - 4, _mm_cvtsi32_si128(static_cast<int>(last)));
    } else {
        for (size_t i = 0; i < n; ++i) out[i] = in[i];
    }
}

} // namespace escape_detail

// The SSE2 body of copy_unescaped. Whole blocks are stored before they are looked at (the
// characters past an escape are overwritten afterwards); the rest, fewer than a block, is
// looked at in the block that ends where it ends.
template <typename In, typename Out>
[[gnu::always_inline]] inline size_t copy_unescaped_sse2(const In *in, size_t n,
                                                         Out *out) noexcept {
    using namespace escape_detail;
    size_t i = 0;
    for (; n - i >= block<In>; i += block<In>) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i));
        store_block<In, Out>(out + i, x);
        if (unsigned bits = escape_bits<In>(x))
            return i + static_cast<size_t>(__builtin_ctz(bits)) / sizeof(In);
    }
    if (i == n) return n;
    size_t rest = n - i;
    auto *block_end = reinterpret_cast<const char *>(in + n);
    unsigned bits =
        escape_bits<In>(_mm_loadu_si128(reinterpret_cast<const __m128i *>(block_end - 16))) >>
        (16 - rest * sizeof(In));
    size_t plain = bits ? static_cast<size_t>(__builtin_ctz(bits)) / sizeof(In) : rest;
    if constexpr (sizeof(In) == 1 && sizeof(Out) > 1)
        widen_short(in + i, plain, out + i);
    else
        copy_short(in + i, plain, out + i);
    return i + plain;
}
#endif

#if defined(GLIMET_AARCH64)
namespace escape_detail {

// A bit per byte of the 16 bytes at `in` (four bits per byte, as NEON narrows them), set in
// the bytes of characters that need an escape.
template <typename In> uint64_t escape_nibbles(const In *in) noexcept {
    uint8x16_t special;
    if constexpr (sizeof(In) == 1) {
        uint8x16_t x = vld1q_u8(reinterpret_cast<const uint8_t *>(in));
        special = vorrq_u8(vorrq_u8(vceqq_u8(x, vdupq_n_u8('"')), vceqq_u8(x, vdupq_n_u8('\\'))),
                           vcltq_u8(x, vdupq_n_u8(32)));
    } else if constexpr (sizeof(In) == 2) {
        uint16x8_t x = vld1q_u16(reinterpret_cast<const uint16_t *>(in));
        special = vreinterpretq_u8_u16(
            vorrq_u16(vorrq_u16(vceqq_u16(x, vdupq_n_u16('"')), vceqq_u16(x, vdupq_n_u16('\\'))),
                      vcltq_u16(x, vdupq_n_u16(32))));
    } else {
        uint32x4_t x = vld1q_u32(reinterpret_cast<const uint32_t *>(in));
        special = vreinterpretq_u8_u32(
            vorrq_u32(vorrq_u32(vceqq_u32(x, vdupq_n_u32('"')), vceqq_u32(x, vdupq_n_u32('\\'))),
                      vcltq_u32(x, vdupq_n_u32(32))));
    }
    // Each byte's all-ones or zero narrowed to four bits.
    uint8x8_t narrowed = vshrn_n_u16(vreinterpretq_u16_u8(special), 4);
    return vget_lane_u64(vreinterpret_u64_u8(narrowed), 0);
}

} // namespace escape_detail

// The NEON body of copy_unescaped: a block is looked at, then copied up to its first escape.
template <typename In, typename Out>
[[gnu::always_inline]] inline size_t copy_unescaped_neon(const In *in, size_t n,
                                                         Out *out) noexcept {
    using namespace escape_detail;
    constexpr size_t block = 16 / sizeof(In);
    size_t i = 0;
    for (; n - i >= block; i += block) {
        uint64_t nibbles = escape_nibbles(in + i);
        size_t plain =
            nibbles ? static_cast<size_t>(__builtin_ctzll(nibbles)) / 4 / sizeof(In) : block;
        if constexpr (sizeof(In) == sizeof(Out))
            std::memcpy(out + i, in + i, plain * sizeof(In));
        else
            for (size_t k = 0; k < plain; ++k) out[i + k] = in[i + k];
        if (plain < block) return i + plain;
    }
    return i + copy_unescaped_scalar(in + i, n - i, out + i);
}
#endif

// Copies characters from `in` to `out` up to the first that needs an escape, `n` at most, and
// returns how many it copied. `out` has room for `n`. The 16 bytes before in + n must be
// readable, those before `in` too (a str has its header before its characters): a body may
// look at the last characters within the block that ends where they end.
template <typename In, typename Out>
[[gnu::always_inline]] inline size_t copy_unescaped(const In *in, size_t n, Out *out) noexcept {
#if defined(GLIMET_X86_64)
    if (selection.escape == Body::sse2) return copy_unescaped_sse2(in, n, out);
#elif defined(GLIMET_AARCH64)
    if (selection.escape == Body::neon) return copy_unescaped_neon(in, n, out);
#endif
    return copy_unescaped_scalar(in, n, out);
}

} // namespace glimet::kernels
