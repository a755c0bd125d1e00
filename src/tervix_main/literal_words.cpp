// The literal-word rewrite in one scan. Every replacement keeps the length and cannot make or
// break a match of another word, so the passes are independent and one scan does them all.
// Matches are found at the character that ends them: "&" ends at most one of the first three,
// which cannot overlap; a quoted word may share its closing quote with the next match of the
// same word, which a replacement pass would not take, so each quoted word remembers where its
// last match ended.
#include "tervix_main/literal_words.hpp"

#include <cstring>
#include <string_view>

namespace glimet::tervix {
namespace {

constexpr std::string_view words[] = {"True", "False", "None"};

// Whether `text` holds `word` just before position `end`.
template <typename Char> bool holds_before(const Char *text, size_t end, std::string_view word) {
    if (end < word.size()) return false;
    const Char *at = text + (end - word.size());
    for (size_t i = 0; i < word.size(); ++i)
        if (at[i] != static_cast<unsigned char>(word[i])) return false;
    return true;
}

// The positions among the `n` (at most 8 bytes' worth) characters at `text` that hold "&" or a
// quote, as the top bits of their lanes: eight bytes are looked at in one word, portably. The
// two differ only in the bit 0x04, so one comparison finds both; it is exact lane by lane, since
// the sum of a lane's low bits cannot carry into the next lane.
template <typename Char> uint64_t marks_in(const Char *text, size_t n) {
    constexpr uint64_t lanes = ~uint64_t{0} / ((uint64_t{1} << (8 * sizeof(Char) - 1) << 1) - 1);
    constexpr uint64_t top = lanes << (8 * sizeof(Char) - 1), low = ~top;
    uint64_t word = 0; // lanes past the `n` hold 0, which is no mark
    if (n * sizeof(Char) == 8)
        std::memcpy(&word, text, 8); // one load, for every word but the last
    else
        std::memcpy(&word, text, n * sizeof(Char));
    uint64_t x = (word | 0x04 * lanes) ^ ('&' * lanes);
    return ~(((x & low) + low) | x) & top;
}

// Lowercases the word at `word`; "None" becomes "null", the others keep their letters.
template <typename Char> void make_json_word(Char *word) {
    if (word[0] == 'N') {
        word[1] = 'u';
        word[2] = 'l';
        word[3] = 'l';
    }
    word[0] = static_cast<Char>(word[0] + ('a' - 'A'));
}

} // namespace

template <typename Char>
void rewrite_literal_words(Char *text, size_t length, bool quoted) noexcept {
    size_t quoted_free_from[3] = {0, 0, 0};
    constexpr size_t block = 8 / sizeof(Char);
    for (size_t start = 0; start < length; start += block) {
        // Only "&" and quotes end a match; a word's worth of characters is searched for them at
        // once, and the characters between them are not looked at. Two words without one are
        // passed over together.
        if (length - start >= 2 * block &&
            (marks_in(text + start, block) | marks_in(text + start + block, block)) == 0) {
            start += block;
            continue;
        }
        size_t n = length - start < block ? length - start : block;
        for (uint64_t marks = marks_in(text + start, n); marks; marks &= marks - 1) {
            size_t i = start + static_cast<size_t>(__builtin_ctzll(marks)) / (8 * sizeof(Char));
            if (i == 0 || text[i - 1] != 'e') continue; // every word ends in "e"
            if (text[i] == '&') {
                for (std::string_view word : words) {
                    if (holds_before(text, i, word)) {
                        make_json_word(text + i - word.size());
                        break;
                    }
                }
            } else if (quoted) {
                for (size_t w = 0; w < 3; ++w) {
                    size_t size = words[w].size();
                    if (i < size + 1) continue;
                    size_t opening = i - size - 1;
                    if (opening < quoted_free_from[w] || text[opening] != '"' ||
                        !holds_before(text, i, words[w]))
                        continue;
                    make_json_word(text + opening + 1);
                    quoted_free_from[w] = i + 1;
                    break;
                }
            }
        }
    }
}

template void rewrite_literal_words(uint8_t *, size_t, bool) noexcept;
template void rewrite_literal_words(uint16_t *, size_t, bool) noexcept;
template void rewrite_literal_words(uint32_t *, size_t, bool) noexcept;

} // namespace glimet::tervix
