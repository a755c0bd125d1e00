// Text helpers of the curl command reader: UTF-8 checks, the quoting of the user's text in
// messages, character classes, and the encodings curl applies (base64, form encoding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace glimet::curl {

inline constexpr size_t not_found = std::string_view::npos;

// Length of the well-formed UTF-8 sequence that starts at text[i], or 0 when there is none
// (overlong forms, surrogates and values past U+10FFFF are not well formed).
size_t utf8_sequence(std::string_view text, size_t i);
bool is_utf8(std::string_view text);
// Appends the UTF-8 of `code`, which is a Unicode scalar value (no surrogate, at most 0x10FFFF).
void append_character(std::string &out, uint32_t code);

// `text` in single quotes for an error message: cut short after 60 bytes, with control
// characters and bytes that are not UTF-8 shown as \xHH so the message is always clean text.
std::string quoted(std::string_view text);

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline bool is_name_start(char c) { return is_letter(c) || c == '_'; }
inline bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }
inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// Reads up to `limit` hex digits at text[i] into `value`; returns how many there were.
size_t read_hex(std::string_view text, size_t i, size_t limit, uint32_t &value);
// Length of the line break (LF or CRLF) at text[i], 0 when there is none.
size_t line_break(std::string_view text, size_t i);
// Line number, from 1, of text[at]: where messages say something stands.
size_t line_of(std::string_view text, size_t at);
// The line of `text` that starts at `start`, without its line break.
std::string_view line_at(std::string_view text, size_t start);

std::string ascii_lower(std::string_view text);
bool equal_ignoring_case(std::string_view a, std::string_view b);
std::string_view trimmed(std::string_view text);
// True when `text` holds a control character; `allow_tab` lets a header value keep its tabs.
bool has_control(std::string_view text, bool allow_tab);

std::string base64(std::string_view bytes);
// Form encoding as curl's --data-urlencode does it: letters, digits and "-._~" stay, a space
// becomes '+', every other byte %HH.
std::string form_encoded(std::string_view text);

} // namespace glimet::curl
