// libFuzzer target for the signed text's rewrite of True, False and None: the one-scan rewrite
// gives exactly what the plain chain of replacements it stands for gives, in text stored one,
// two or four bytes a character wherever that width holds it. ASCII input bytes are characters
// as they are (so fuzz/literal_words.dict can speak of the words), others stand for characters
// of every width. Each body of the mark-scan kernel the processor has is held to it.
// `make fuzz-literal-words` builds and runs it.
#include "kernels/kernels.hpp"
#include "tervix_main/literal_words.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

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

// The rewrite of `text` stored as Char, widened back for comparison.
template <typename Char> std::u32string rewritten_as(const std::u32string &text, bool quoted) {
    std::vector<Char> stored(text.begin(), text.end());
    glimet::tervix::rewrite_literal_words(stored.data(), stored.size(), quoted);
    return std::u32string(stored.begin(), stored.end());
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

    char32_t widest = text.empty() ? 0 : *std::max_element(text.begin(), text.end());
    using glimet::kernels::Body, glimet::kernels::selection;
    for (Body body : {Body::scalar, glimet::kernels::available().mark_scan}) {
        selection.mark_scan = body;
        if (rewritten_as<uint32_t>(text, quoted) != expected) std::abort();
        if (widest < 0x10000 && rewritten_as<uint16_t>(text, quoted) != expected) std::abort();
        if (widest < 0x100 && rewritten_as<uint8_t>(text, quoted) != expected) std::abort();
    }
    return 0;
}
