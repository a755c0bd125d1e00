// Ordering keys as Python orders str: by code point, a key before any longer key it begins.
// Free of Python, so that it can be fuzzed on its own (fuzz/key_order_fuzzer.cpp): a key is
// a run of characters stored one, two or four bytes each, as a str stores them.
//
// Each key stands for its first 16 characters by a 128-bit prefix, so that most comparisons
// need not read the key's text; many keys are ordered by a radix sort on those prefixes.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace glimet::tervix::fast {

// A key's characters, as a str stores them.
struct KeyText {
    const void *data;
    size_t length;
    int width; // bytes per character: 1, 2 or 4
};

inline uint32_t character(const KeyText &key, size_t i) noexcept {
    switch (key.width) {
    case 1:
        return static_cast<const uint8_t *>(key.data)[i];
    case 2:
        return static_cast<const uint16_t *>(key.data)[i];
    default:
        return static_cast<const uint32_t *>(key.data)[i];
    }
}

// Whether `a` comes before `b`.
inline bool text_less(const KeyText &a, const KeyText &b) noexcept {
    size_t common = std::min(a.length, b.length);
    if (a.width == 1 && b.width == 1) {
        int order = common ? std::memcmp(a.data, b.data, common) : 0; // data may be null if empty
        return order != 0 ? order < 0 : a.length < b.length;
    }
    for (size_t i = 0; i < common; ++i) {
        uint32_t char_a = character(a, i), char_b = character(b, i);
        if (char_a != char_b) return char_a < char_b;
    }
    return a.length < b.length;
}

// One byte per character of the key's first 16, zero-padded, as a big-endian integer. A
// character above U+00FF is taken as 0xFF and every byte after it as 0xFF too. Such a packing
// never decreases as keys increase, so two keys whose packings differ order as their packings
// do; keys whose packings are equal must be compared in full.
inline unsigned __int128 key_prefix(const KeyText &key) noexcept {
    unsigned char bytes[16] = {};
    size_t n = std::min<size_t>(key.length, 16);
    if (key.width == 1) {
        if (n) std::memcpy(bytes, key.data, n);
    } else {
        for (size_t i = 0; i < n; ++i) {
            uint32_t c = character(key, i);
            if (c > 0xFF) {
                std::memset(bytes + i, 0xFF, 16 - i);
                break;
            }
            bytes[i] = static_cast<unsigned char>(c);
        }
    }
    uint64_t high, low;
    std::memcpy(&high, bytes, 8);
    std::memcpy(&low, bytes + 8, 8);
    if constexpr (std::endian::native == std::endian::little) {
        high = __builtin_bswap64(high);
        low = __builtin_bswap64(low);
    }
    return static_cast<unsigned __int128>(high) << 64 | low;
}

namespace detail {

constexpr size_t radix_least = 256; // fewer entries than this are ordered by comparison
constexpr size_t radix_depth = 16;  // a pass per prefix byte at most

// Orders entries[0:n) with a most-significant-byte-first radix sort on their prefixes,
// `scratch` holding as many entries: each pass splits the entries on the first byte in which
// their prefixes differ, and the parts are ordered in turn. Its cost does not hang on how
// well comparisons are predicted, and keys that share a beginning (common in one dict) cost
// nothing for it. Parts of a few entries, and entries whose prefixes are all equal, are
// ordered by comparison: a radix pass costs 256 steps whatever the number of entries.
// `bounds` holds 257 counts for each pass still open (a pass splits on a byte below those of
// the passes open around it, so at most 16 are open at once), then 256 for placing entries:
// kept off the C stack, the sort needs little of it.
template <typename Entry, typename Less>
void radix_sort(Entry *entries, Entry *scratch, size_t n, size_t *bounds, size_t level, Less less) {
    if (n < radix_least || level >= radix_depth) {
        std::sort(entries, entries + n, less);
        return;
    }
    unsigned __int128 any = 0, every = ~static_cast<unsigned __int128>(0);
    for (size_t i = 0; i < n; ++i) {
        any |= entries[i].prefix;
        every &= entries[i].prefix;
    }
    unsigned __int128 differing = any ^ every;
    if (differing == 0) {
        std::sort(entries, entries + n, less);
        return;
    }
    auto high = static_cast<uint64_t>(differing >> 64);
    int leading_zeros =
        high ? __builtin_clzll(high) : 64 + __builtin_clzll(static_cast<uint64_t>(differing));
    unsigned shift = static_cast<unsigned>(120 - leading_zeros / 8 * 8);
    auto digit = [shift](const Entry &entry) {
        return static_cast<uint8_t>(entry.prefix >> shift);
    };

    size_t *starts = bounds + 257 * level;
    size_t *next = bounds + 257 * radix_depth;
    std::fill(starts, starts + 257, size_t{0});
    for (size_t i = 0; i < n; ++i) ++starts[digit(entries[i]) + 1];
    for (size_t d = 1; d <= 256; ++d) starts[d] += starts[d - 1];
    std::copy(starts, starts + 256, next);
    for (size_t i = 0; i < n; ++i) scratch[next[digit(entries[i])]++] = entries[i];
    std::copy(scratch, scratch + n, entries);
    for (size_t d = 0; d < 256; ++d) {
        size_t size = starts[d + 1] - starts[d];
        if (size > 1)
            radix_sort(entries + starts[d], scratch + starts[d], size, bounds, level + 1, less);
    }
}

} // namespace detail

// Puts `entries` in ascending key order. An Entry has `prefix`, the key_prefix of its key,
// and `text(entry)` gives its key's KeyText. Allocates only for many entries, and sorts in
// place by comparison where that memory cannot be had; throws nothing.
template <typename Entry, typename Text>
void order_by_key(Entry *entries, size_t n, Text text) noexcept {
    auto less = [text](const Entry &a, const Entry &b) {
        if (a.prefix != b.prefix) [[likely]]
            return a.prefix < b.prefix;
        return text_less(text(a), text(b));
    };
    std::unique_ptr<Entry[]> scratch;
    std::unique_ptr<size_t[]> bounds;
    if (n >= detail::radix_least) {
        scratch.reset(new (std::nothrow) Entry[n]);
        bounds.reset(new (std::nothrow) size_t[257 * detail::radix_depth + 256]);
    }
    if (scratch && bounds)
        detail::radix_sort(entries, scratch.get(), n, bounds.get(), 0, less);
    else
        std::sort(entries, entries + n, less);
}

} // namespace glimet::tervix::fast
