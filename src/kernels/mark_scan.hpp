// The mark-scan kernel: where, in text of one, two or four bytes a character, an "e" stands
// just before "&" or a quotation mark. Those are the only places the words True, False and
// None can end before the mark that closes them, so the signed text's literal-word rewrite
// looks only there; most of a text has none. Each body compares the characters and, one
// position back, their predecessors, a block at a time. Header-only, so that the rewrite's loop
// inlines it.
#pragma once

#include "kernels/kernels.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(GLIMET_X86_64)
#include <emmintrin.h>
#elif defined(GLIMET_AARCH64)
#include <arm_neon.h>
#endif

namespace glimet::kernels {

namespace mark_scan_detail {

// "&" and the quotation mark differ only in the bit 0x04: c | 0x04 == '&' holds for both alone.
constexpr unsigned mark_bit = 0x04;

// The top bit of each of the `Char`-wide lanes of `word` that equals `c`. Exact lane by lane:
// the sum of a lane's low bits cannot carry into the next lane.
template <typename Char> uint64_t lanes_equal(uint64_t word, uint64_t c) noexcept {
    constexpr uint64_t lanes = ~uint64_t{0} / ((uint64_t{1} << (8 * sizeof(Char) - 1) << 1) - 1);
    constexpr uint64_t top = lanes << (8 * sizeof(Char) - 1), low = ~top;
    uint64_t x = word ^ (c * lanes);
    return ~(((x & low) + low) | x) & top;
}

} // namespace mark_scan_detail

// The scalar body of mark_scan: eight bytes looked at in one word, portably, each lane's "e"
// moved one lane on to meet the mark after it; the last lane's goes on to the next word.
template <typename Char>
size_t mark_scan_scalar(const Char *text, size_t length, size_t from) noexcept {
    using namespace mark_scan_detail;
    constexpr size_t block = 8 / sizeof(Char), lane_bits = 8 * sizeof(Char);
    constexpr uint64_t lanes = ~uint64_t{0} / ((uint64_t{1} << (lane_bits - 1) << 1) - 1);
    uint64_t carried = text[from - 1] == 'e' ? uint64_t{1} << (lane_bits - 1) : 0;
    for (size_t i = from; i < length; i += block) {
        uint64_t word = 0; // lanes past the text hold 0, which is neither
        size_t n = length - i < block ? length - i : block;
        std::memcpy(&word, text + i, n * sizeof(Char));
        uint64_t e = lanes_equal<Char>(word, 'e');
        uint64_t marks = lanes_equal<Char>(word | mark_bit * lanes, '&');
        if (uint64_t pairs = marks & (e << lane_bits | carried))
            return i + static_cast<size_t>(__builtin_ctzll(pairs)) / lane_bits;
        carried = e >> (64 - lane_bits);
    }
    return length;
}

#if defined(GLIMET_X86_64)
namespace mark_scan_detail {

// A bit per byte of the 16 bytes at `at`, set in the bytes of a mark with "e" before it;
// at[-1] is read too.
template <typename Char> unsigned pair_bits(const Char *at) noexcept {
    __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at - 1));
    __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i *>(at));
    __m128i e, marks;
    if constexpr (sizeof(Char) == 1) {
        e = _mm_cmpeq_epi8(before, _mm_set1_epi8('e'));
        marks = _mm_cmpeq_epi8(_mm_or_si128(here, _mm_set1_epi8(mark_bit)), _mm_set1_epi8('&'));
    } else if constexpr (sizeof(Char) == 2) {
        e = _mm_cmpeq_epi16(before, _mm_set1_epi16('e'));
        marks = _mm_cmpeq_epi16(_mm_or_si128(here, _mm_set1_epi16(mark_bit)), _mm_set1_epi16('&'));
    } else {
        e = _mm_cmpeq_epi32(before, _mm_set1_epi32('e'));
        marks = _mm_cmpeq_epi32(_mm_or_si128(here, _mm_set1_epi32(mark_bit)), _mm_set1_epi32('&'));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(e, marks)));
}

} // namespace mark_scan_detail

// The SSE2 body of mark_scan: two blocks a step, the rest by the scalar body.
template <typename Char>
[[gnu::always_inline]] inline size_t mark_scan_sse2(const Char *text, size_t length,
                                                    size_t from) noexcept {
    using namespace mark_scan_detail;
    constexpr size_t block = 16 / sizeof(Char);
    size_t i = from;
    for (; length - i >= 2 * block; i += 2 * block) {
        unsigned low = pair_bits(text + i), high = pair_bits(text + i + block);
        if (low | high)
            return i + static_cast<size_t>(__builtin_ctz(low | high << 16)) / sizeof(Char);
    }
    return mark_scan_scalar(text, length, i);
}
#endif

#if defined(GLIMET_AARCH64)
namespace mark_scan_detail {

// Four bits per byte of the 16 bytes at `at` (as NEON narrows them), set in the bytes of a
// mark with "e" before it; at[-1] is read too.
template <typename Char> uint64_t pair_nibbles(const Char *at) noexcept {
    uint8x16_t pairs;
    if constexpr (sizeof(Char) == 1) {
        uint8x16_t before = vld1q_u8(at - 1), here = vld1q_u8(at);
        pairs = vandq_u8(vceqq_u8(before, vdupq_n_u8('e')),
                         vceqq_u8(vorrq_u8(here, vdupq_n_u8(mark_bit)), vdupq_n_u8('&')));
    } else if constexpr (sizeof(Char) == 2) {
        uint16x8_t before = vld1q_u16(at - 1), here = vld1q_u16(at);
        pairs = vreinterpretq_u8_u16(
            vandq_u16(vceqq_u16(before, vdupq_n_u16('e')),
                      vceqq_u16(vorrq_u16(here, vdupq_n_u16(mark_bit)), vdupq_n_u16('&'))));
    } else {
        uint32x4_t before = vld1q_u32(at - 1), here = vld1q_u32(at);
        pairs = vreinterpretq_u8_u32(
            vandq_u32(vceqq_u32(before, vdupq_n_u32('e')),
                      vceqq_u32(vorrq_u32(here, vdupq_n_u32(mark_bit)), vdupq_n_u32('&'))));
    }
    uint8x8_t narrowed = vshrn_n_u16(vreinterpretq_u16_u8(pairs), 4);
    return vget_lane_u64(vreinterpret_u64_u8(narrowed), 0);
}

} // namespace mark_scan_detail

// The NEON body of mark_scan: two blocks a step, the rest by the scalar body.
template <typename Char>
[[gnu::always_inline]] inline size_t mark_scan_neon(const Char *text, size_t length,
                                                    size_t from) noexcept {
    using namespace mark_scan_detail;
    constexpr size_t block = 16 / sizeof(Char);
    size_t i = from;
    for (; length - i >= 2 * block; i += 2 * block) {
        uint64_t low = pair_nibbles(text + i), high = pair_nibbles(text + i + block);
        if (low | high) {
            size_t at = low ? static_cast<size_t>(__builtin_ctzll(low))
                            : 64 + static_cast<size_t>(__builtin_ctzll(high));
            return i + at / 4 / sizeof(Char);
        }
    }
    return mark_scan_scalar(text, length, i);
}
#endif

// The first position from `from` on (1 at least) below `length` where `text` holds "&" or a
// quotation mark with "e" just before it; `length` if there is none. Only text[from - 1] to
// text[length - 1] are read. By the body kernels::selection names.
template <typename Char>
[[gnu::always_inline]] inline size_t mark_scan(const Char *text, size_t length,
                                               size_t from) noexcept {
    if (from >= length) return length;
#if defined(GLIMET_X86_64)
    if (selection.mark_scan == Body::sse2) return mark_scan_sse2(text, length, from);
#elif defined(GLIMET_AARCH64)
    if (selection.mark_scan == Body::neon) return mark_scan_neon(text, length, from);
#endif
    return mark_scan_scalar(text, length, from);
}

} // namespace glimet::kernels
