// The SHA-256 kernel's bodies. Each 64-byte block takes 64 rounds over a schedule of 64 words;
// the scalar body writes them out, the x86 SHA extensions take four rounds an instruction pair
// with the state kept as they want it (ABEF and CDGH), ARMv8's take four a pair on ABCD, EFGH.
#include "kernels/sha256.hpp"

#include "kernels/kernels.hpp"

#include <algorithm>
#include <cstring>

#if defined(GLIMET_X86_64)
#include <immintrin.h>
#elif defined(GLIMET_AARCH64)
#include <arm_neon.h>
#endif

namespace glimet::kernels {
namespace {

alignas(16) constexpr uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t initial_state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint32_t rotate(uint32_t x, int n) { return x >> n | x << (32 - n); }

// The bodies: each feeds `blocks` 64-byte blocks at `data` into `state` (a b c d e f g h).
void sha256_compress_scalar(uint32_t state[8], const unsigned char *data, size_t blocks) noexcept {
    for (; blocks > 0; --blocks, data += 64) {
        // The schedule: 16 big-endian words of the block, then each from four before it.
        uint32_t w[64];
        for (int t = 0; t < 16; ++t)
            w[t] = uint32_t{data[4 * t]} << 24 | uint32_t{data[4 * t + 1]} << 16 |
                   uint32_t{data[4 * t + 2]} << 8 | data[4 * t + 3];
        for (int t = 16; t < 64; ++t) {
            uint32_t s0 = rotate(w[t - 15], 7) ^ rotate(w[t - 15], 18) ^ (w[t - 15] >> 3);
            uint32_t s1 = rotate(w[t - 2], 17) ^ rotate(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            uint32_t s1 = rotate(e, 6) ^ rotate(e, 11) ^ rotate(e, 25);
            uint32_t choice = (e & f) ^ (~e & g);
            uint32_t t1 = h + s1 + choice + round_constants[t] + w[t];
            uint32_t s0 = rotate(a, 2) ^ rotate(a, 13) ^ rotate(a, 22);
            uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            h = g, g = f, f = e, e = d + t1;
            d = c, c = b, b = a, a = t1 + s0 + majority;
        }
        state[0] += a, state[1] += b, state[2] += c, state[3] += d;
        state[4] += e, state[5] += f, state[6] += g, state[7] += h;
    }
}

#if defined(GLIMET_X86_64)
__attribute__((target("sha,ssse3,sse4.1"))) void
sha256_compress_sha_extensions(uint32_t state[8], const unsigned char *data,
                               size_t blocks) noexcept {
    // Message words are big-endian.
    const __m128i byte_order = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abef_before = abef, cdgh_before = cdgh;
        __m128i words[4]; // the schedule's last 16 words, four to an entry, oldest first
#pragma GCC unroll 16
        for (int group = 0; group < 16; ++group) {
            __m128i &current = words[group & 3];
            if (group < 4) {
                current = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * group)),
                    byte_order);
            } else {
                // W[t] = s1(W[t-2]) + W[t-7] + s0(W[t-15]) + W[t-16], four at a time.
                const __m128i &previous = words[(group - 1) & 3];
                __m128i sum = _mm_sha256msg1_epu32(current, words[(group - 3) & 3]);
                sum = _mm_add_epi32(sum, _mm_alignr_epi8(previous, words[(group - 2) & 3], 4));
                current = _mm_sha256msg2_epu32(sum, previous);
            }
            __m128i scheduled = _mm_add_epi32(
                current,
                _mm_load_si128(reinterpret_cast<const __m128i *>(round_constants + 4 * group)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, scheduled);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(scheduled, 0x0E));
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#else
void sha256_compress_sha_extensions(uint32_t state[8], const unsigned char *data,
                                    size_t blocks) noexcept {
    sha256_compress_scalar(state, data, blocks); // never chosen here
}
#endif

#if defined(GLIMET_AARCH64)
__attribute__((target("+sha2"))) void
sha256_compress_armv8(uint32_t state[8], const unsigned char *data, size_t blocks) noexcept {
    uint32x4_t abcd = vld1q_u32(state), efgh = vld1q_u32(state + 4);
    for (; blocks > 0; --blocks, data += 64) {
        const uint32x4_t abcd_before = abcd, efgh_before = efgh;
        uint32x4_t words[4]; // the schedule's last 16 words, four to an entry, oldest first
        for (int group = 0; group < 16; ++group) {
            uint32x4_t &current = words[group & 3];
            if (group < 4) // message words are big-endian
                current = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data + 16 * group)));
            else
                current = vsha256su1q_u32(vsha256su0q_u32(current, words[(group + 1) & 3]),
                                          words[(group + 2) & 3], words[(group + 3) & 3]);
            uint32x4_t scheduled = vaddq_u32(current, vld1q_u32(round_constants + 4 * group));
            uint32x4_t abcd_then = abcd;
            abcd = vsha256hq_u32(abcd, efgh, scheduled);
            efgh = vsha256h2q_u32(efgh, abcd_then, scheduled);
        }
        abcd = vaddq_u32(abcd, abcd_before);
        efgh = vaddq_u32(efgh, efgh_before);
    }
    vst1q_u32(state, abcd);
    vst1q_u32(state + 4, efgh);
}
#else
void sha256_compress_armv8(uint32_t state[8], const unsigned char *data, size_t blocks) noexcept {
    sha256_compress_scalar(state, data, blocks); // never chosen here
}
#endif

// Feeds blocks by the body the selection names.
void compress(uint32_t state[8], const unsigned char *data, size_t blocks) noexcept {
    switch (selection.sha256) {
    case Body::sha_extensions:
        return sha256_compress_sha_extensions(state, data, blocks);
    case Body::armv8_sha2:
        return sha256_compress_armv8(state, data, blocks);
    default:
        return sha256_compress_scalar(state, data, blocks);
    }
}

} // namespace

Sha256::Sha256() noexcept { std::memcpy(state_, initial_state, sizeof state_); }

void Sha256::update(const unsigned char *data, size_t size) noexcept {
    size_ += size;
    if (pending_size_ > 0) { // first fill the block begun before
        size_t take = std::min(size, 64 - pending_size_);
        std::memcpy(pending_ + pending_size_, data, take);
        pending_size_ += take;
        data += take;
        size -= take;
        if (pending_size_ < 64) return;
        compress(state_, pending_, 1);
        pending_size_ = 0;
    }
    if (size >= 64) compress(state_, data, size / 64);
    pending_size_ = size % 64;
    std::memcpy(pending_, data + size - pending_size_, pending_size_);
}

void Sha256::finish(unsigned char digest[32]) noexcept {
    // The rest, then 0x80, zeros and the length in bits (big-endian) to fill one or two blocks.
    unsigned char tail[128] = {};
    std::memcpy(tail, pending_, pending_size_);
    tail[pending_size_] = 0x80;
    size_t tail_size = pending_size_ < 56 ? 64 : 128;
    uint64_t bits = size_ * 8;
    for (int i = 0; i < 8; ++i)
        tail[tail_size - 1 - static_cast<size_t>(i)] = static_cast<unsigned char>(bits >> (8 * i));
    compress(state_, tail, tail_size / 64);

    for (int i = 0; i < 8; ++i)
        for (int b = 0; b < 4; ++b)
            digest[4 * i + b] = static_cast<unsigned char>(state_[i] >> (24 - 8 * b));
}

void sha256(const unsigned char *data, size_t size, unsigned char digest[32]) noexcept {
    Sha256 hash;
    hash.update(data, size);
    hash.finish(digest);
}

} // namespace glimet::kernels
