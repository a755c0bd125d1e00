// UTF-8 encoding, shared by every module that encodes text itself. Free of Python, so that the
// curl reader's core (and its fuzzer) can use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define GLIMET_UTF8_AVX512 1
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

// The bytes an encoder here may need for the UTF-8 of `n` characters stored `width` bytes
// each: at most 2, 3 or 4 a character, and 64 it may write past the end.
constexpr size_t utf8_room(size_t n, size_t width) noexcept {
    return n * (width == 1 ? 2 : width == 2 ? 3 : 4) + 64;
}

// The UTF-8 of the `n` characters at `in` (stored one, two or four bytes each), written at
// `out`, which has utf8_room(n, sizeof(Char)) bytes; the end of what was written, or null at a
// lone surrogate.
template <typename Char> char *encode_utf8(const Char *in, size_t n, char *out) noexcept {
    for (size_t i = 0; i < n; ++i)
        if (!(out = encode_utf8_character(in[i], out))) return nullptr;
    return out;
}

#ifdef GLIMET_UTF8_AVX512
// Whether the processor, and the system's saving of its registers, allow encode_utf8_avx512:
// AVX-512 F, BW and VBMI2, BMI2 and POPCNT.
inline bool utf8_avx512_available() noexcept {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    bool popcnt = ecx & bit_POPCNT, osxsave = ecx & bit_OSXSAVE;
    if (!osxsave || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    bool features = (ebx & bit_AVX512F) && (ebx & bit_AVX512BW) && (ebx & bit_BMI2) &&
                    (ecx & bit_AVX512VBMI2) && popcnt;
    uint32_t low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return features && (low & 0xE6) == 0xE6; // SSE, AVX and AVX-512 state saved
}

namespace utf8_detail {

// A continuation byte of the low six bits of each lane.
__attribute__((target("avx512f"))) inline __m512i continuation(__m512i bits) noexcept {
    return _mm512_or_si512(_mm512_and_si512(bits, _mm512_set1_epi32(0x3F)),
                           _mm512_set1_epi32(0x80));
}

} // namespace utf8_detail

// GCC 12's AVX-512 headers start some results from a deliberately undefined value, which
// -Wmaybe-uninitialized takes for a fault once they are inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// encode_utf8 sixteen characters at a time with no branch on what they are, so that text
// mixing scripts costs no mispredictions: each character is widened to a 32-bit lane holding
// its UTF-8 in the last 1 to 4 of its bytes, and the bytes used are packed together. Only to
// be called where utf8_avx512_available() says so.
template <typename Char>
__attribute__((target("avx512f,avx512bw,avx512vbmi2,bmi2,popcnt"))) char *
encode_utf8_avx512(const Char *in, size_t n, char *out) noexcept {
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
        __m512i b1 = _mm512_mask_blend_epi32(three, utf8_detail::continuation(x12), lead3);
        __m512i b2 = _mm512_mask_blend_epi32(two, utf8_detail::continuation(x6), lead2);
        __m512i b3 = _mm512_mask_blend_epi32(one, utf8_detail::continuation(c), c);
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
    return encode_utf8(in + i, n - i, out);
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

// Whether encode_utf8_best encodes with AVX-512: where the processor allows it, unless
// GLIMET_UTF8_SCALAR=1 was in the environment at the first encoding, which keeps the scalar
// encoder (so that both can be checked on one machine). Settled once for the process.
inline bool utf8_avx512_chosen() noexcept {
#ifdef GLIMET_UTF8_AVX512
    static const bool chosen = [] {
        const char *scalar = std::getenv("GLIMET_UTF8_SCALAR");
        return !(scalar && *scalar == '1') && utf8_avx512_available();
    }();
    return chosen;
#else
    return false;
#endif
}

// encode_utf8 by the widest means chosen for this processor.
template <typename Char> char *encode_utf8_best(const Char *in, size_t n, char *out) noexcept {
#ifdef GLIMET_UTF8_AVX512
    if (utf8_avx512_chosen()) return encode_utf8_avx512(in, n, out);
#endif
    return encode_utf8(in, n, out);
}

} // namespace glimet
