// The signed text's rewrite of Python's words True, False and None into JSON's true, false and
// null. Free of Python, so that it can be fuzzed on its own (fuzz/literal_words_fuzzer.cpp)
// against the plain chain of replacements it stands for.
#pragma once

#include <cstddef>
#include <cstdint>

namespace glimet::tervix {

// Rewrites `text` (`length` characters stored as Char: uint8_t, uint16_t or uint32_t, as a
// str's kind stores them) in place as the replacements "True&" -> "true&", "False&" ->
// "false&", "None&" -> "null&" would, each over the whole text in turn, each replacing every
// occurrence from the left without overlaps; with `quoted`, followed by "\"True\"" ->
// "\"true\"", "\"False\"" -> "\"false\"" and "\"None\"" -> "\"null\"".
template <typename Char>
void rewrite_literal_words(Char *text, size_t length, bool quoted) noexcept;

} // namespace glimet::tervix
