// PowerShell's own pieces of the shared word splitter (posix_words.cpp): its '`' escapes and
// continuations, and the first word that says a command was written for it.
#include "glimet_curl/words.hpp"

#include <algorithm>

namespace glimet::curl {

// `0 `a `b `e `f `n `r `t `v are control characters, `u{hex} the character of that code, and
// before anything else the character itself.
size_t read_powershell_escape(std::string_view text, size_t i, std::string &out) {
    static constexpr std::string_view letters = "0abefnrtv";
    static constexpr char controls[] = {'\0', '\a', '\b', '\x1B', '\f', '\n', '\r', '\t', '\v'};
    if (i + 1 == text.size()) return i + 1;
    char next = text[i + 1];
    uint32_t code = 0;
    size_t digits = 0;
    if (next == 'u' && text.substr(i + 2, 1) == "{") digits = read_hex(text, i + 3, 6, code);
    bool character = digits > 0 && text.substr(i + 3 + digits, 1) == "}" && code <= 0x10FFFF &&
                     (code < 0xD800 || code > 0xDFFF);
    if (letters.find(next) != not_found) {
        out += controls[letters.find(next)];
        return i + 2;
    }
    if (character) {
        append_character(out, code);
        return i + 4 + digits;
    }
    out += next;
    return i + 2;
}

size_t continuation_end(std::string_view text, size_t i) {
    while (i < text.size() && is_blank(text[i])) ++i;
    if (i == text.size()) return i;
    size_t joined = line_break(text, i);
    return joined ? i + joined : not_found;
}

bool runs_curl_exe(std::string_view text) {
    size_t start = std::min(text.find_first_not_of(" \t\r\n"), text.size());
    size_t end = std::min(text.find_first_of(" \t\r\n", start), text.size());
    std::string_view word = text.substr(start, end - start);
    if (word.size() > 1 && (word[0] == '"' || word[0] == '\'') && word.back() == word[0])
        word = word.substr(1, word.size() - 2);
    return is_curl(word) && ascii_lower(word).ends_with(".exe");
}

} // namespace glimet::curl
