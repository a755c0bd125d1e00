// The int-text kernel: the decimal digits of a 64-bit integer, as int.__repr__ writes them, in
// text of one, two or four bytes a character. Eight digits at a time are made in one word, in
// parallel lanes, and stored whole. Header-only, so that the writers' loops inline it; the
// float formatter builds on its pieces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace glimet::kernels {

// The room a buffer given to int_text must have: it stores up to 8 characters past its text.
inline constexpr size_t int_text_room = 32;

// 10**i for i in 0..19.
inline constexpr std::array<uint64_t, 20> powers_of_ten = [] {
    std::array<uint64_t, 20> powers{};
    powers[0] = 1;
    for (size_t i = 1; i < powers.size(); ++i) powers[i] = powers[i - 1] * 10;
    return powers;
}();

// The eight decimal digits of `value` (below 10**8), leading zeros included, as ASCII in a
// word whose lowest byte is the first digit: split into halves, pairs and digits in parallel
// lanes (each quotient by multiplication with a reciprocal exact in that range).
inline uint64_t eight_digits(uint32_t value) noexcept {
    uint64_t v = value;
    uint64_t halves = v + ((uint64_t{1} << 32) - 10000) * ((v * 109951163) >> 40);
    uint64_t pairs =
        halves + ((uint64_t{1} << 16) - 100) * (((halves * 5243) >> 19) & 0x0000007F0000007F);
    uint64_t digits =
        pairs + ((uint64_t{1} << 8) - 10) * (((pairs * 103) >> 10) & 0x000F000F000F000F);
    return __builtin_bswap64(digits) + 0x3030303030303030;
}

// How many decimal digits `value` has (1 for 0).
inline int digit_count(uint64_t value) noexcept {
    // The bit width times log10(2) is the count or one more than it.
    int estimate = (64 - __builtin_clzll(value | 1)) * 1233 >> 12;
    return estimate + 1 - ((value | 1) < powers_of_ten[static_cast<size_t>(estimate)]);
}

// Spreads the four bytes of `bytes` into the four 16-bit lanes of a word (to two bytes a
// character), or its two low bytes into two 32-bit lanes (to four).
inline uint64_t spread_to_16(uint64_t bytes) noexcept {
    bytes = (bytes | bytes << 16) & 0x0000FFFF0000FFFF;
    return (bytes | bytes << 8) & 0x00FF00FF00FF00FF;
}
inline uint64_t spread_to_32(uint64_t bytes) noexcept {
    return (bytes | bytes << 24) & 0x000000FF000000FF;
}

// Stores the last `count` (1 to 8) of the eight digits `word` holds at `out`, and zeros after
// them up to eight characters. Wider characters are spread from the word in registers and
// stored a word at a time: nothing stored is read back piecemeal.
template <typename Char> void store_digits(uint64_t word, int count, Char *out) noexcept {
    word >>= 8 * (8 - count);
    if constexpr (sizeof(Char) == 1) {
        std::memcpy(out, &word, 8); // the byte order is little-endian's on both targets
    } else if constexpr (sizeof(Char) == 2) {
        uint64_t low = spread_to_16(word & 0xFFFFFFFF), high = spread_to_16(word >> 32);
        std::memcpy(out, &low, 8);
        std::memcpy(out + 4, &high, 8);
    } else {
        for (int half = 0; half < 4; ++half) {
            uint64_t pair = spread_to_32(word >> (16 * half) & 0xFFFF);
            std::memcpy(out + 2 * half, &pair, 8);
        }
    }
}

// Writes the last `count` decimal digits of `value`, which has no more than that, leading
// zeros included; writes up to 8 characters past them. Returns the end of the digits.
template <typename Char> Char *write_digits(uint64_t value, int count, Char *out) noexcept {
    constexpr uint64_t eight = 100'000'000;
    if (count <= 8) {
        store_digits(eight_digits(static_cast<uint32_t>(value)), count, out);
    } else if (count <= 16) {
        auto high = static_cast<uint32_t>(value / eight);
        if (count == 9) // one digit before the last eight, as ids of nine digits have
            *out = static_cast<Char>('0' + high);
        else
            store_digits(eight_digits(high), count - 8, out);
        store_digits(eight_digits(static_cast<uint32_t>(value % eight)), 8, out + count - 8);
    } else {
        uint64_t rest = value % (eight * eight);
        store_digits(eight_digits(static_cast<uint32_t>(value / (eight * eight))), count - 16, out);
        store_digits(eight_digits(static_cast<uint32_t>(rest / eight)), 8, out + count - 16);
        store_digits(eight_digits(static_cast<uint32_t>(rest % eight)), 8, out + count - 8);
    }
    return out + count;
}

// Writes the decimal text of `value` at `out`, which has int_text_room characters; returns the
// end of the text. Char is char, or uint16_t or uint32_t for text stored two or four bytes a
// character.
template <typename Char> Char *int_text(uint64_t value, Char *out) noexcept {
    return write_digits(value, digit_count(value), out);
}

// The same with a '-' before a negative value.
template <typename Char> Char *int_text(int64_t value, Char *out) noexcept {
    if (value >= 0) return int_text(static_cast<uint64_t>(value), out);
    *out++ = '-';
    return int_text(0 - static_cast<uint64_t>(value), out);
}

} // namespace glimet::kernels
