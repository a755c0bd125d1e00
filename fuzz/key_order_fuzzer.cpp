// libFuzzer target for the key ordering of the signers' fast routes: any set of keys, of any
// character width, comes out in the order std::sort gives their code points. Keys are made
// from the input, each also with a few endings, so that many share beginnings and a run has
// enough keys for the radix passes. `make fuzz-key-order` builds and runs it.
#include "tervix_main/fast/key_order.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using glimet::tervix::fast::KeyText;

// A key as the fuzzer holds it: its code points, and the same characters stored at `width`
// bytes each, as a str would store them.
struct Key {
    std::u32string text;
    int width;
    std::vector<uint8_t> stored;
};

Key make_key(const std::u32string &text, int width) {
    Key key{text, width, std::vector<uint8_t>(text.size() * static_cast<size_t>(width))};
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (width == 1)
            key.stored[i] = static_cast<uint8_t>(c);
        else if (width == 2)
            reinterpret_cast<uint16_t *>(key.stored.data())[i] = static_cast<uint16_t>(c);
        else
            reinterpret_cast<uint32_t *>(key.stored.data())[i] = c;
    }
    return key;
}

// Reads the keys: for each, a byte of length and width, then its characters, one byte each
// for width 1, two for width 2 and three (below U+110000) for width 4.
std::vector<std::u32string> read_keys(const uint8_t *data, size_t size, std::vector<int> &widths) {
    std::vector<std::u32string> keys;
    size_t at = 0;
    while (at < size) {
        uint8_t head = data[at++];
        int width = head >> 6 == 0 ? 1 : head >> 6 == 1 ? 2 : 4;
        size_t length = head & 0x1F;
        std::u32string text;
        for (size_t i = 0; i < length && at + static_cast<size_t>(width == 4 ? 3 : width) <= size;
             ++i) {
            uint32_t c = data[at++];
            if (width >= 2) c = c << 8 | data[at++];
            if (width == 4) c = (c << 8 | data[at++]) % 0x110000;
            text.push_back(c);
        }
        keys.push_back(text);
        widths.push_back(width);
    }
    return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<int> widths;
    std::vector<std::u32string> base = read_keys(data, size, widths);
    static const std::u32string endings[] = {
        U"", std::u32string(1, U'\0'), U"a", U"\u00ff", U"\u0100", U"\U0010ffff"};
    std::vector<Key> keys;
    for (size_t i = 0; i < base.size(); ++i)
        for (const std::u32string &ending : endings) {
            std::u32string text = base[i] + ending;
            uint32_t widest = 0;
            for (char32_t c : text) widest = c > widest ? c : widest;
            int width = widths[i];
            if (widest > 0xFFFF)
                width = 4; // stored no narrower than its widest character
            else if (widest > 0xFF && width == 1)
                width = 2;
            keys.push_back(make_key(text, width));
        }

    struct Entry {
        const Key *key;
        unsigned __int128 prefix;
    };
    auto text_of = [](const Entry &entry) {
        return KeyText{entry.key->stored.data(), entry.key->text.size(), entry.key->width};
    };
    std::vector<Entry> entries;
    for (const Key &key : keys) entries.push_back({&key, 0});
    for (Entry &entry : entries) entry.prefix = glimet::tervix::fast::key_prefix(text_of(entry));
    glimet::tervix::fast::order_by_key(entries.data(), entries.size(), text_of);

    std::vector<std::u32string> expected;
    for (const Key &key : keys) expected.push_back(key.text);
    std::sort(expected.begin(), expected.end());
    for (size_t i = 0; i < entries.size(); ++i)
        if (entries[i].key->text != expected[i]) std::abort();
    return 0;
}
