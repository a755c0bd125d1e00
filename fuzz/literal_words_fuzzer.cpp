// libFuzzer target for the signed text's rewrite of True, False and None: the one-scan rewrite
// gives exactly what the plain chain of replacements it stands for gives. ASCII input bytes
// are characters as they are (so fuzz/literal_words.dict can speak of the words), others
// stand for characters of every width. `make fuzz-literal-words` builds and runs it.
#include "tervix_main/literal_words.hpp"

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>

namespace {

// Every occurrence of `from` replaced by `to`, from the left, without overlaps, as
// str.replace does.
std::u32string replace_all(const std::u32string &text, const std::u32string &from,
                           const std::u32string &to) {
    std::u32string result;
    size_t at = 0;
    for (size_t found; (found = text.find(from, at)) != std::u32string::npos;
         at = found + from.size())
        result += text.substr(at, found - at) + to;
    return result + text.substr(at);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    bool quoted = data[0] & 1;
    static const char32_t wide[] = {U'\u00e9', U'\u5f20', U'\U0001f600', char32_t{0xD800},
                                    U'\u0100'};
    std::u32string text;
    for (size_t i = 1; i < size; ++i)
        text.push_back(data[i] < 0x80 ? data[i] : wide[data[i] % std::size(wide)]);

    std::u32string expected = text;
    for (auto [from, to] :
         {std::pair{U"True&", U"true&"}, {U"False&", U"false&"}, {U"None&", U"null&"}})
        expected = replace_all(expected, from, to);
    if (quoted)
        for (auto [from, to] : {std::pair{U"\"True\"", U"\"true\""},
                                {U"\"False\"", U"\"false\""},
                                {U"\"None\"", U"\"null\""}})
            expected = replace_all(expected, from, to);

    std::u32string rewritten = text;
    glimet::tervix::rewrite_literal_words(reinterpret_cast<uint32_t *>(rewritten.data()),
                                          rewritten.size(), quoted);
    if (rewritten != expected) std::abort();
    return 0;
}
