// The UTF-8 kernel's AVX-512 body and the choice of body (see utf8.hpp).
#include "kernels/utf8.hpp"

#include "kernels/kernels.hpp"

#if defined(GLIMET_X86_64)
#include <immintrin.h>
#endif

namespace glimet::kernels {

namespace {

#if defined(GLIMET_X86_64)
// A continuation byte of the low six bits of each lane.
__attribute__((target("avx512f"))) inline __m512i continuation(__m512i bits) noexcept {
    return _mm512_or_si512(_mm512_and_si512(bits, _mm512_set1_epi32(0x3F)),
                           _mm512_set1_epi32(0x80));
}

// GCC 12's AVX-512 headers start some results from a deliberately undefined value, which
// -Wmaybe-uninitialized takes for a fault once they are inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Sixteen characters at a time with no branch on what they are, so that text mixing scripts
// costs no mispredictions: each character is widened to a 32-bit lane holding its UTF-8 in
// the last 1 to 4 of its bytes, and the bytes used are packed together.
template <typename Char>
__attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2,popcnt"))) char *
utf8_encode_avx512(const Char *in, size_t n, char *out) noexcept {
    __mmask16 surrogates = 0;
    size_t i = 0;
    for (; n - i >= 16; i += 16) {
        __m512i c;
        if constexpr (sizeof(Char) == 1)
            c = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(in + i)));
        else if constexpr (sizeof(Char) == 2)
            c = _mm512_cvtepu16_epi32(
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(in + i)));
        else
            c = _mm512_loadu_si512(in + i);
        // Which of 1 to 4 bytes each character takes.
        __mmask16 one = _mm512_cmplt_epu32_mask(c, _mm512_set1_epi32(0x80));
        __mmask16 two = _mm512_cmplt_epu32_mask(c, _mm512_set1_epi32(0x800));
        __mmask16 three = _mm512_cmplt_epu32_mask(c, _mm512_set1_epi32(0x10000));
        // A lane's bytes from first to last: the lead of 4; of 3 or a continuation; of 2 or a
        // continuation; the character itself or a continuation.
        __m512i x6 = _mm512_srli_epi32(c, 6), x12 = _mm512_srli_epi32(c, 12);
        __m512i b0 = _mm512_or_si512(_mm512_srli_epi32(c, 18), _mm512_set1_epi32(0xF0));
        __m512i lead3 = _mm512_or_si512(x12, _mm512_set1_epi32(0xE0));
        __m512i lead2 = _mm512_or_si512(x6, _mm512_set1_epi32(0xC0));
        __m512i b1 = _mm512_mask_blend_epi32(three, continuation(x12), lead3);
        __m512i b2 = _mm512_mask_blend_epi32(two, continuation(x6), lead2);
        __m512i b3 = _mm512_mask_blend_epi32(one, continuation(c), c);
        __m512i lanes =
            _mm512_or_si512(_mm512_or_si512(b0, _mm512_slli_epi32(b1, 8)),
                            _mm512_or_si512(_mm512_slli_epi32(b2, 16), _mm512_slli_epi32(b3, 24)));
        // The bytes used: the last of every lane, and the others as its length asks.
        uint64_t used = 0x8888888888888888 |
                        _pdep_u64(static_cast<uint16_t>(~one), 0x4444444444444444) |
                        _pdep_u64(static_cast<uint16_t>(~two), 0x2222222222222222) |
                        _pdep_u64(static_cast<uint16_t>(~three), 0x1111111111111111);
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi8(used, lanes));
        out += _mm_popcnt_u64(used);
        if constexpr (sizeof(Char) > 1)
            surrogates |= _mm512_cmpeq_epi32_mask(_mm512_and_si512(c, _mm512_set1_epi32(~0x7FF)),
                                                  _mm512_set1_epi32(0xD800));
    }
    if (surrogates) return nullptr;
    return utf8_encode_scalar(in + i, n - i, out);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#else
template <typename Char> char *utf8_encode_avx512(const Char *in, size_t n, char *out) noexcept {
    return utf8_encode_scalar(in, n, out); // never chosen here
}
#endif

} // namespace

template <typename Char> char *utf8_encode(const Char *in, size_t n, char *out) noexcept {
    if (selection.utf8 == Body::avx512_vbmi2) return utf8_encode_avx512(in, n, out);
    return utf8_encode_scalar(in, n, out);
}

template char *utf8_encode(const uint8_t *, size_t, char *) noexcept;
template char *utf8_encode(const uint16_t *, size_t, char *) noexcept;
template char *utf8_encode(const uint32_t *, size_t, char *) noexcept;

} // namespace glimet::kernels
