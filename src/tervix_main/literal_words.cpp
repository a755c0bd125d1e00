// The literal-word rewrite in one scan. Every replacement keeps the length and cannot make or
// break a match of another word, so the passes are independent and one scan does them all.
// Matches are found at the character that ends them: "&" ends at most one of the first three,
// which cannot overlap; a quoted word may share its closing quote with the next match of the
// same word, which a replacement pass would not take, so each quoted word remembers where its
// last match ended.
#include "tervix_main/literal_words.hpp"

#include "kernels/mark_scan.hpp"

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
    // Every word ends in "e", and only "&" and quotes end a match: the mark-scan kernel finds
    // each "e" before one, and the characters between them are not looked at.
    for (size_t i = kernels::mark_scan(text, length, 1); i < length;
         i = kernels::mark_scan(text, length, i + 1)) {
        // The letter before the "e" tells which word can end here (each has four at least).
        bool ampersand = text[i] == '&';
        if (i < 4 || (!ampersand && !quoted)) continue;
        size_t w = text[i - 2] == 'u' ? 0 : text[i - 2] == 's' ? 1 : 2;
        std::string_view word = words[w];
        if (!holds_before(text, i, word)) continue;
        if (ampersand) {
            make_json_word(text + i - word.size());
            continue;
        }
        if (i == word.size()) continue;
        size_t opening = i - word.size() - 1;
        if (opening < quoted_free_from[w] || text[opening] != '"') continue;
        make_json_word(text + opening + 1);
        quoted_free_from[w] = i + 1;
    }
}

template void rewrite_literal_words(uint8_t *, size_t, bool) noexcept;
template void rewrite_literal_words(uint16_t *, size_t, bool) noexcept;
template void rewrite_literal_words(uint32_t *, size_t, bool) noexcept;

} // namespace glimet::tervix
