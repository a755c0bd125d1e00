// The literal-word rewrite in one scan. Every replacement keeps the length and cannot make or
// break a match of another word, so the passes are independent and one scan does them all.
// Matches are found at the character that ends them: "&" ends at most one of the first three,
// which cannot overlap; a quoted word may share its closing quote with the next match of the
// same word, which a replacement pass would not take, so each quoted word remembers where its
// last match ended.
#include "tervix_main/literal_words.hpp"

#include <string_view>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace glimet::tervix {
namespace {

constexpr std::string_view words[] = {"True", "False", "None"};

// Whether `text` holds `word` just before position `end`.
bool holds_before(const uint32_t *text, size_t end, std::string_view word) {
    if (end < word.size()) return false;
    const uint32_t *at = text + (end - word.size());
    for (size_t i = 0; i < word.size(); ++i)
        if (at[i] != static_cast<unsigned char>(word[i])) return false;
    return true;
}

// The positions among the `n` (at most 16) characters at `text` that hold "&" or a quote, one
// bit each.
unsigned marks_in(const uint32_t *text, size_t n) {
#ifdef __SSE2__
    if (n == 16) {
        const __m128i ampersand = _mm_set1_epi32('&'), quote = _mm_set1_epi32('"');
        __m128i found[4];
        for (int k = 0; k < 4; ++k) {
            __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 4 * k));
            found[k] =
                _mm_or_si128(_mm_cmpeq_epi32(chars, ampersand), _mm_cmpeq_epi32(chars, quote));
        }
        // All-ones or zero lanes narrow to one byte each, in order; one bit per byte then.
        __m128i low = _mm_packs_epi32(found[0], found[1]);
        __m128i high = _mm_packs_epi32(found[2], found[3]);
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
    }
#endif
    unsigned marks = 0;
    for (size_t k = 0; k < n; ++k) marks |= unsigned{text[k] == '&' || text[k] == '"'} << k;
    return marks;
}

// Lowercases the word at `word`; "None" becomes "null", the others keep their letters.
void make_json_word(uint32_t *word) {
    if (word[0] == 'N') {
        word[1] = 'u';
        word[2] = 'l';
        word[3] = 'l';
    }
    word[0] += 'a' - 'A';
}

} // namespace

void rewrite_literal_words(uint32_t *text, size_t length, bool quoted) noexcept {
    size_t quoted_free_from[3] = {0, 0, 0};
    constexpr size_t block = 16;
    for (size_t start = 0; start < length; start += block) {
        // Only "&" and quotes end a match; whole blocks are searched for them at once, and
        // the characters between them are not looked at.
        size_t n = length - start < block ? length - start : block;
        for (unsigned marks = marks_in(text + start, n); marks; marks &= marks - 1) {
            size_t i = start + static_cast<size_t>(__builtin_ctz(marks));
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

} // namespace glimet::tervix
