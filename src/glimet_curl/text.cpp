// Text helpers of the curl command reader (see text.hpp).
#include "glimet_curl/text.hpp"

#include "kernels/utf8.hpp"

#include <algorithm>

namespace glimet::curl {
namespace {

// Longest piece of the user's text quoted in an error message, in bytes.
constexpr size_t quote_limit = 60;

constexpr char hex_digits[] = "0123456789ABCDEF";

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

} // namespace

size_t utf8_sequence(std::string_view text, size_t i) {
    auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) return 1;
    size_t length = 0;
    uint32_t code = 0, smallest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1Fu, smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0Fu, smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07u, smallest = 0x10000;
    } else {
        return 0;
    }
    if (length > text.size() - i) return 0;
    for (size_t k = 1; k < length; ++k) {
        auto byte = static_cast<unsigned char>(text[i + k]);
        if ((byte & 0xC0) != 0x80) return 0;
        code = (code << 6) | (byte & 0x3Fu);
    }
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

bool is_utf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        size_t length = utf8_sequence(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

void append_character(std::string &out, uint32_t code) {
    char bytes[4];
    char *end = kernels::encode_utf8_character(code, bytes);
    if (end) out.append(bytes, static_cast<size_t>(end - bytes));
}

std::string quoted(std::string_view text) {
    std::string out = "'";
    size_t i = 0;
    while (i < text.size() && i < quote_limit) {
        auto byte = static_cast<unsigned char>(text[i]);
        size_t length = utf8_sequence(text, i);
        if (length == 0 || byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += hex_digits[byte >> 4];
            out += hex_digits[byte & 15];
            i += 1;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    if (i < text.size()) out += "...";
    return out + "'";
}

size_t read_hex(std::string_view text, size_t i, size_t limit, uint32_t &value) {
    size_t count = 0;
    value = 0;
    while (count < limit && i + count < text.size() && hex_digit(text[i + count]) >= 0)
        value = value * 16 + static_cast<uint32_t>(hex_digit(text[i + count++]));
    return count;
}

size_t line_break(std::string_view text, size_t i) {
    if (i < text.size() && text[i] == '\n') return 1;
    if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') return 2;
    return 0;
}

size_t line_of(std::string_view text, size_t at) {
    size_t line = 1;
    for (size_t i = 0; i < at && i < text.size(); ++i)
        if (text[i] == '\n') ++line;
    return line;
}

std::string_view line_at(std::string_view text, size_t start) {
    std::string_view line = text.substr(std::min(start, text.size()));
    line = line.substr(0, line.find('\n'));
    if (line.ends_with('\r')) line.remove_suffix(1);
    return line;
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char &c : out) c = lower(c);
    return out;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::string_view trimmed(std::string_view text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == not_found) return {};
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

bool has_control(std::string_view text, bool allow_tab) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && !(allow_tab && c == '\t')) || byte == 0x7F) return true;
    }
    return false;
}

std::string base64(std::string_view bytes) {
    static constexpr char digits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    auto byte_at = [&](size_t i) {
        return i < bytes.size() ? static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) : 0u;
    };
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = byte_at(i) << 16 | byte_at(i + 1) << 8 | byte_at(i + 2);
        size_t count = bytes.size() - i < 3 ? bytes.size() - i : 3;
        for (size_t k = 0; k < 4; ++k)
            out += k <= count ? digits[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

std::string form_encoded(std::string_view text) {
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        bool plain = is_letter(c) || is_digit(c) || c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            out += c;
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += hex_digits[byte >> 4];
            out += hex_digits[byte & 15];
        }
    }
    return out;
}

} // namespace glimet::curl
