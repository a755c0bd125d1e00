// The curl command reader: splits a pasted command line into words the way the shell it was
// written for would, then reads curl's options into the request they describe.
#include "glimet_curl/curl_core.hpp"

#include <cstdint>
#include <unordered_map>

namespace glimet::curl {
namespace {

using Words = std::vector<std::string>;

constexpr size_t not_found = std::string_view::npos;

// Longest piece of the user's text quoted in an error message, in bytes.
constexpr size_t quote_limit = 60;

// Length of the well-formed UTF-8 sequence that starts at text[i], or 0 when there is none
// (overlong forms, surrogates and values past U+10FFFF are not well formed).
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

void append_utf8(std::string &out, uint32_t code) {
    auto byte = [&](uint32_t value) { out += static_cast<char>(value & 0xFF); };
    if (code < 0x80) {
        byte(code);
    } else if (code < 0x800) {
        byte(0xC0 | (code >> 6)), byte(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        byte(0xE0 | (code >> 12)), byte(0x80 | ((code >> 6) & 0x3F)), byte(0x80 | (code & 0x3F));
    } else {
        byte(0xF0 | (code >> 18)), byte(0x80 | ((code >> 12) & 0x3F));
        byte(0x80 | ((code >> 6) & 0x3F)), byte(0x80 | (code & 0x3F));
    }
}

// `text` in single quotes for an error message: cut short after quote_limit bytes, with control
// characters and bytes that are not UTF-8 shown as \xHH so the message is always clean text.
std::string quoted(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out = "'";
    size_t i = 0;
    while (i < text.size() && i < quote_limit) {
        auto byte = static_cast<unsigned char>(text[i]);
        size_t length = utf8_sequence(text, i);
        if (length == 0 || byte < 0x20 || byte == 0x7F) {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
            i += 1;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    if (i < text.size()) out += "...";
    return out + "'";
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads up to `limit` hex digits at text[i] into `value`; returns how many there were.
size_t read_hex(std::string_view text, size_t i, size_t limit, uint32_t &value) {
    size_t count = 0;
    value = 0;
    while (count < limit && i + count < text.size() && hex_digit(text[i + count]) >= 0)
        value = value * 16 + static_cast<uint32_t>(hex_digit(text[i + count++]));
    return count;
}

// Length of the line break (LF or CRLF) at text[i], 0 when there is none.
size_t line_break(std::string_view text, size_t i) {
    if (i < text.size() && text[i] == '\n') return 1;
    if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n') return 2;
    return 0;
}

// Reads the body of a bash $'...' string, `i` just past the opening quote, onto `word`.
// Returns the index past the closing quote, or not_found with `error` set. The escapes are
// bash's; one it does not know stays as written, backslash included.
size_t read_ansi_c(std::string_view text, size_t i, std::string &word, std::string &error) {
    while (i < text.size()) {
        char c = text[i++];
        if (c == '\'') return i;
        if (c != '\\') {
            word += c;
            continue;
        }
        if (i == text.size()) break;
        char escape = text[i++];
        switch (escape) {
        case 'a': word += '\a'; break;
        case 'b': word += '\b'; break;
        case 'e':
        case 'E': word += '\x1B'; break;
        case 'f': word += '\f'; break;
        case 'n': word += '\n'; break;
        case 'r': word += '\r'; break;
        case 't': word += '\t'; break;
        case 'v': word += '\v'; break;
        case '\\':
        case '\'':
        case '"':
        case '?': word += escape; break;
        case 'c':
            if (i == text.size()) break;
            word += static_cast<char>(text[i++] & 0x1F);
            break;
        case 'x': {
            uint32_t value = 0;
            size_t digits = read_hex(text, i, 2, value);
            if (digits == 0) {
                word += "\\x";
            } else {
                word += static_cast<char>(value);
                i += digits;
            }
            break;
        }
        case 'u':
        case 'U': {
            uint32_t code = 0;
            size_t digits = read_hex(text, i, escape == 'u' ? 4 : 8, code);
            if (digits == 0) {
                word += '\\';
                word += escape;
                break;
            }
            i += digits;
            // A surrogate pair written as two \u escapes stands for one character.
            uint32_t low = 0;
            if (code >= 0xD800 && code <= 0xDBFF && text.substr(i, 2) == "\\u" &&
                read_hex(text, i + 2, 4, low) == 4 && low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                i += 6;
            }
            if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
                error = "the escape " + quoted(text.substr(i - digits - 2, digits + 2)) +
                        " is not a Unicode character";
                return not_found;
            }
            append_utf8(word, code);
            break;
        }
        case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
            // Up to three octal digits, the first one already read; bash keeps the low byte.
            uint32_t value = static_cast<uint32_t>(escape - '0');
            for (int more = 0; more < 2 && i < text.size() && text[i] >= '0' && text[i] <= '7';
                 ++more)
                value = value * 8 + static_cast<uint32_t>(text[i++] - '0');
            word += static_cast<char>(value & 0xFF);
            break;
        }
        default:
            word += '\\';
            word += escape;
        }
    }
    error = "unterminated $'...' quote in the curl command";
    return not_found;
}

enum class Split { done, failed, windows };

// Splits `text` as a POSIX shell would, without expansions: blanks (line breaks included)
// separate words, quotes and backslashes are removed, backslash-newline joins lines and '#'
// starting a word comments out the rest of the line. Returns Split::windows at the first '^'
// outside quotes: only cmd syntax puts one there.
Split split_posix(std::string_view text, Words &words, std::string &error) {
    std::string word;
    bool in_word = false; // set by quotes too, so '' is an empty word
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (in_word) words.push_back(std::move(word)), word.clear(), in_word = false;
            ++i;
        } else if (c == '^') {
            return Split::windows;
        } else if (c == '#' && !in_word) {
            while (i < text.size() && text[i] != '\n') ++i;
        } else if (c == '\\') {
            // A continuation joins lines without starting a word; a final backslash, left
            // when a pasted continuation lost its line break, is dropped.
            size_t joined = line_break(text, i + 1);
            if (joined || i + 1 == text.size()) {
                i += 1 + joined;
            } else {
                word += text[i + 1];
                in_word = true;
                i += 2;
            }
        } else if (c == '\'') {
            size_t end = text.find('\'', i + 1);
            if (end == not_found) {
                error = "unterminated single quote in the curl command";
                return Split::failed;
            }
            word.append(text, i + 1, end - i - 1);
            in_word = true;
            i = end + 1;
        } else if (c == '$' && i + 1 < text.size() && text[i + 1] == '\'') {
            i = read_ansi_c(text, i + 2, word, error);
            if (i == not_found) return Split::failed;
            in_word = true;
        } else if (c == '"' || (c == '$' && i + 1 < text.size() && text[i + 1] == '"')) {
            // $"..." is bash's translated string; with no translation it is "...".
            i += c == '$' ? 2 : 1;
            in_word = true;
            for (;;) {
                if (i == text.size()) {
                    error = "unterminated double quote in the curl command";
                    return Split::failed;
                }
                char inner = text[i];
                if (inner == '"') break;
                size_t joined = inner == '\\' ? line_break(text, i + 1) : 0;
                if (joined) {
                    i += 1 + joined;
                } else if (inner == '\\' && i + 1 < text.size() &&
                           std::string_view("$`\"\\").find(text[i + 1]) != not_found) {
                    word += text[i + 1];
                    i += 2;
                } else {
                    word += inner;
                    i += 1;
                }
            }
            i += 1;
        } else {
            word += c;
            in_word = true;
            ++i;
        }
    }
    if (in_word) words.push_back(std::move(word));
    return Split::done;
}

// Splits `text` as cmd.exe and then the Microsoft C runtime do for a program's arguments.
// cmd drops carriage returns, removes '^' escapes outside its own double quotes and joins lines
// that end in '^' (the first character of the next line taken literally, so "^" LF LF is one
// line break); the runtime then splits at blanks outside "...", where 2n backslashes before a
// quote give n and 2n+1 give n and a literal quote, and "" inside quotes is a literal quote.
// One departure: browsers writing this syntax double every backslash, although the runtime
// halves only those before a quote, so elsewhere a pair is read as one backslash too; the
// text the browser sent comes back unchanged, and a single backslash still stands for itself.
bool split_windows(std::string_view text, Words &words, std::string &error) {
    // The command line as cmd hands it to the program. A line break with no '^' before it is
    // read as a blank, so commands wrapped by hand still read as one.
    std::string line;
    bool cmd_quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r') continue;
        if (c == '"') {
            cmd_quoted = !cmd_quoted;
            line += c;
        } else if (cmd_quoted) {
            line += c;
        } else if (c == '\n') {
            line += ' ';
        } else if (c == '^') {
            size_t next = i + 1;
            while (next < text.size() && text[next] == '\r') ++next;
            if (next < text.size() && text[next] == '\n') {
                ++next;
                while (next < text.size() && text[next] == '\r') ++next;
            }
            if (next < text.size()) line += text[next];
            i = next;
        } else {
            line += c;
        }
    }

    // The runtime's split into arguments.
    std::string word;
    bool in_word = false, quoted_part = false;
    for (size_t i = 0; i < line.size();) {
        char c = line[i];
        if (!quoted_part && (c == ' ' || c == '\t')) {
            if (in_word) words.push_back(std::move(word)), word.clear(), in_word = false;
            ++i;
            continue;
        }
        in_word = true;
        if (c == '\\') {
            size_t run = line.find_first_not_of('\\', i);
            run = (run == not_found ? line.size() : run) - i;
            bool before_quote = i + run < line.size() && line[i + run] == '"';
            word.append(before_quote ? run / 2 : run / 2 + run % 2, '\\');
            i += run;
            if (before_quote && run % 2 == 1) word += '"', ++i;
        } else if (c == '"') {
            if (quoted_part && i + 1 < line.size() && line[i + 1] == '"') {
                word += '"';
                i += 2;
            } else {
                quoted_part = !quoted_part;
                ++i;
            }
        } else {
            word += c;
            ++i;
        }
    }
    if (quoted_part) {
        error = "unterminated double quote in the curl command";
        return false;
    }
    if (in_word) words.push_back(std::move(word));
    return true;
}

// What an option does to the request.
enum class Kind {
    flag,        // accepted and ignored: changes how curl talks or prints, not the request
    ignored_arg, // likewise, with an argument
    method,
    header,
    cookie,
    user_agent,
    referer,
    user,
    bearer,
    data,     // -d and the like: "@file" reads a file
    data_raw, // "@" is literal
    data_urlencode,
    json,
    url,
    get,
    head,
    unsupported,
};

struct Option {
    char letter;           // short form, or 0
    std::string_view name; // long form without "--", or empty
    Kind kind;
    const char *reason = nullptr; // why an unsupported option is refused
};

constexpr Option options[] = {
    {'X', "request", Kind::method},
    {'H', "header", Kind::header},
    {'b', "cookie", Kind::cookie},
    {'A', "user-agent", Kind::user_agent},
    {'e', "referer", Kind::referer},
    {'u', "user", Kind::user},
    {0, "oauth2-bearer", Kind::bearer},
    {'d', "data", Kind::data},
    {0, "data-ascii", Kind::data},
    {0, "data-binary", Kind::data},
    {0, "data-raw", Kind::data_raw},
    {0, "data-urlencode", Kind::data_urlencode},
    {0, "json", Kind::json},
    {0, "url", Kind::url},
    {'G', "get", Kind::get},
    {'I', "head", Kind::head},
    {'F', "form", Kind::unsupported, "multipart form data is not supported"},
    {0, "form-string", Kind::unsupported, "multipart form data is not supported"},
    {'T', "upload-file", Kind::unsupported, "uploading a file is not supported"},
    {'K', "config", Kind::unsupported, "reading options from a file is not supported"},
    {'s', "silent", Kind::flag},
    {'S', "show-error", Kind::flag},
    {'v', "verbose", Kind::flag},
    {'i', "include", Kind::flag},
    {'k', "insecure", Kind::flag},
    {'L', "location", Kind::flag},
    {'f', "fail", Kind::flag},
    {'g', "globoff", Kind::flag},
    {'#', "progress-bar", Kind::flag},
    {'N', "buffer", Kind::flag},
    {'O', "remote-name", Kind::flag},
    {'R', "remote-time", Kind::flag},
    {'j', "junk-session-cookies", Kind::flag},
    {'q', "disable", Kind::flag},
    {'4', "ipv4", Kind::flag},
    {'6', "ipv6", Kind::flag},
    {'0', "http1.0", Kind::flag},
    {'1', "tlsv1", Kind::flag},
    {0, "compressed", Kind::flag},
    {0, "compressed-ssh", Kind::flag},
    {0, "location-trusted", Kind::flag},
    {0, "fail-with-body", Kind::flag},
    {0, "fail-early", Kind::flag},
    {0, "progress-meter", Kind::flag},
    {0, "http0.9", Kind::flag},
    {0, "http1.1", Kind::flag},
    {0, "http2", Kind::flag},
    {0, "http2-prior-knowledge", Kind::flag},
    {0, "http3", Kind::flag},
    {0, "http3-only", Kind::flag},
    {0, "path-as-is", Kind::flag},
    {0, "ssl-no-revoke", Kind::flag},
    {0, "ssl-revoke-best-effort", Kind::flag},
    {0, "ssl-allow-beast", Kind::flag},
    {0, "tlsv1.0", Kind::flag},
    {0, "tlsv1.1", Kind::flag},
    {0, "tlsv1.2", Kind::flag},
    {0, "tlsv1.3", Kind::flag},
    {0, "proxy-insecure", Kind::flag},
    {0, "keepalive", Kind::flag},
    {0, "sessionid", Kind::flag},
    {0, "alpn", Kind::flag},
    {0, "npn", Kind::flag},
    {0, "raw", Kind::flag},
    {0, "tr-encoding", Kind::flag},
    {0, "basic", Kind::flag},
    {0, "remote-name-all", Kind::flag},
    {0, "create-dirs", Kind::flag},
    {0, "styled-output", Kind::flag},
    {0, "tcp-nodelay", Kind::flag},
    {0, "tcp-fastopen", Kind::flag},
    {0, "retry-connrefused", Kind::flag},
    {0, "retry-all-errors", Kind::flag},
    {0, "suppress-connect-headers", Kind::flag},
    {'o', "output", Kind::ignored_arg},
    {'m', "max-time", Kind::ignored_arg},
    {'w', "write-out", Kind::ignored_arg},
    {'c', "cookie-jar", Kind::ignored_arg},
    {'x', "proxy", Kind::ignored_arg},
    {'D', "dump-header", Kind::ignored_arg},
    {'U', "proxy-user", Kind::ignored_arg},
    {'E', "cert", Kind::ignored_arg},
    {'y', "speed-time", Kind::ignored_arg},
    {'Y', "speed-limit", Kind::ignored_arg},
    {0, "key", Kind::ignored_arg},
    {0, "cacert", Kind::ignored_arg},
    {0, "capath", Kind::ignored_arg},
    {0, "connect-timeout", Kind::ignored_arg},
    {0, "retry", Kind::ignored_arg},
    {0, "retry-delay", Kind::ignored_arg},
    {0, "retry-max-time", Kind::ignored_arg},
    {0, "max-redirs", Kind::ignored_arg},
    {0, "resolve", Kind::ignored_arg},
    {0, "connect-to", Kind::ignored_arg},
    {0, "limit-rate", Kind::ignored_arg},
    {0, "trace", Kind::ignored_arg},
    {0, "trace-ascii", Kind::ignored_arg},
    {0, "stderr", Kind::ignored_arg},
    {0, "noproxy", Kind::ignored_arg},
    {0, "interface", Kind::ignored_arg},
    {0, "output-dir", Kind::ignored_arg},
    {0, "expect100-timeout", Kind::ignored_arg},
    {0, "keepalive-time", Kind::ignored_arg},
    {0, "max-filesize", Kind::ignored_arg},
};

bool takes_argument(Kind kind) {
    return kind != Kind::flag && kind != Kind::get && kind != Kind::head &&
           kind != Kind::unsupported;
}

const Option *find_long(std::string_view name) {
    for (const Option &option : options)
        if (option.name == name) return &option;
    // Every boolean option also has a --no- form.
    if (name.starts_with("no-")) {
        for (const Option &option : options)
            if (option.kind == Kind::flag && option.name == name.substr(3)) return &option;
    }
    return nullptr;
}

const Option *find_short(char letter) {
    if (letter == 0) return nullptr; // 0 marks options with no short form
    for (const Option &option : options)
        if (option.letter == letter) return &option;
    return nullptr;
}

// A word that is no option: the URL, as with --url.
constexpr Option url_argument{0, "url", Kind::url};

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string_view trimmed(std::string_view text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == not_found) return {};
    size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
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

// Percent-encoding as curl's --data-urlencode does it: all but letters, digits and "-._~".
std::string url_encoded(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}

// True when `text` holds a control character; `allow_tab` lets a header value keep its tabs.
bool has_control(std::string_view text, bool allow_tab) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && !(allow_tab && c == '\t')) || byte == 0x7F) return true;
    }
    return false;
}

// The options of one command, read in order into the request they describe.
class Reader {
public:
    // Applies `option`, written as `spelling`, with its argument (empty for flags).
    // Returns false with `error` set when the option cannot be honoured.
    bool apply(const Option &option, std::string_view spelling, std::string_view arg);
    // The request, once every option is read; false with `error` set when it is incomplete.
    bool finish(Request &request);
    std::string error;

private:
    void set_header(std::string_view name, std::string_view value);
    bool header_line(std::string_view spelling, std::string_view line);
    bool refuse_file(std::string_view spelling, std::string_view arg);
    void add_data(std::string_view piece, bool joined_plain);

    std::vector<std::string> urls_;
    std::vector<Header> headers_;
    std::unordered_map<std::string, size_t> header_index_; // lower-case name -> position
    std::optional<std::string> data_;
    std::optional<std::string> method_;
    std::string cookies_;
    bool get_ = false, head_ = false, json_ = false;
};

// A repeated header keeps the position of its first appearance and the value of its last.
void Reader::set_header(std::string_view name, std::string_view value) {
    auto [entry, added] = header_index_.try_emplace(ascii_lower(name), headers_.size());
    if (added)
        headers_.push_back({std::string(name), std::string(value)});
    else
        headers_[entry->second].value = value;
}

// -H "Name: value". As in curl, "Name:" only drops a header curl would add itself (so it adds
// nothing here) and "Name;" sends the header with an empty value.
bool Reader::header_line(std::string_view spelling, std::string_view line) {
    if (line.starts_with('@')) return refuse_file(spelling, line);
    size_t colon = line.find(':');
    if (colon == not_found) {
        std::string_view name = trimmed(line);
        if (name.size() > 1 && name.back() == ';') {
            set_header(trimmed(name.substr(0, name.size() - 1)), "");
            return true;
        }
        error = "option " + std::string(spelling) + ": the header " + quoted(line) +
                " has no ':' between name and value";
        return false;
    }
    std::string_view name = trimmed(line.substr(0, colon));
    std::string_view value = trimmed(line.substr(colon + 1));
    if (name.empty()) {
        error = "option " + std::string(spelling) + ": the header " + quoted(line) + " has no name";
        return false;
    }
    if (!value.empty()) set_header(name, value);
    return true;
}

bool Reader::refuse_file(std::string_view spelling, std::string_view arg) {
    error = "option " + std::string(spelling) + ": reading " + quoted(arg.substr(1)) +
            " from a file is not supported; paste the content into the command instead";
    return false;
}

// curl joins the pieces of the body with '&', except that a --json piece follows directly.
void Reader::add_data(std::string_view piece, bool joined_plain) {
    if (!data_)
        data_.emplace();
    else if (!joined_plain)
        *data_ += '&';
    *data_ += piece;
}

bool Reader::apply(const Option &option, std::string_view spelling, std::string_view arg) {
    switch (option.kind) {
    case Kind::flag:
    case Kind::ignored_arg:
        return true;
    case Kind::method:
        method_ = std::string(arg);
        return true;
    case Kind::header:
        return header_line(spelling, arg);
    case Kind::cookie:
        // An argument without '=' names a cookie file.
        if (arg.empty()) return true;
        if (arg.find('=') == not_found) {
            error = "option " + std::string(spelling) + ": reading cookies from the file " +
                    quoted(arg) + " is not supported; give the cookies as name=value pairs";
            return false;
        }
        cookies_ += cookies_.empty() ? "" : "; ";
        cookies_ += arg;
        set_header("Cookie", cookies_);
        return true;
    case Kind::user_agent:
        if (!arg.empty()) set_header("User-Agent", arg);
        return true;
    case Kind::referer:
        if (arg.ends_with(";auto")) arg.remove_suffix(5);
        if (!arg.empty()) set_header("Referer", arg);
        return true;
    case Kind::user:
        if (arg.find(':') == not_found) {
            error = "option " + std::string(spelling) + ": " + quoted(arg) +
                    " has no password (curl would prompt for it); give user:password";
            return false;
        }
        set_header("Authorization", "Basic " + base64(arg));
        return true;
    case Kind::bearer:
        set_header("Authorization", "Bearer " + std::string(arg));
        return true;
    case Kind::data:
        if (arg.starts_with('@')) return refuse_file(spelling, arg);
        add_data(arg, false);
        return true;
    case Kind::data_raw:
        add_data(arg, false);
        return true;
    case Kind::json:
        if (arg.starts_with('@')) return refuse_file(spelling, arg);
        add_data(arg, true);
        json_ = true;
        return true;
    case Kind::data_urlencode: {
        // "content", "=content", "name=content" or "name@file", the way curl tells them apart.
        size_t split = arg.find('=');
        if (split == not_found) split = arg.find('@');
        if (split != not_found && arg[split] == '@')
            return refuse_file(spelling, arg.substr(split));
        std::string_view name = split == not_found ? std::string_view() : arg.substr(0, split);
        std::string piece(name);
        if (!name.empty()) piece += '=';
        piece += url_encoded(split == not_found ? arg : arg.substr(split + 1));
        add_data(piece, false);
        return true;
    }
    case Kind::url:
        urls_.emplace_back(arg);
        return true;
    case Kind::get:
        get_ = true;
        return true;
    case Kind::head:
        head_ = true;
        return true;
    case Kind::unsupported:
        error = "option " + std::string(spelling) + " is not supported: " + option.reason;
        return false;
    }
    return true;
}

bool Reader::finish(Request &request) {
    // The URL: exactly one, as a single request is all the command may describe.
    if (urls_.empty()) {
        error = "the curl command has no URL";
        return false;
    }
    if (urls_.size() > 1) {
        error = "the curl command has more than one URL: " + quoted(urls_[0]) + " and " +
                quoted(urls_[1]);
        return false;
    }
    request.url = std::move(urls_[0]);

    // -G sends the body as the query string of a GET; the URL is checked with it in place.
    if (get_ && data_) {
        request.url += request.url.find('?') == not_found ? '?' : '&';
        request.url += *data_;
        data_.reset();
    }
    if (request.url.empty() || has_control(request.url, false)) {
        error = "the URL " + quoted(request.url) + " is empty or holds control characters";
        return false;
    }
    request.method = method_ ? *method_ : head_ ? "HEAD" : data_ ? "POST" : "GET";
    if (request.method.empty() || request.method.find(' ') != not_found ||
        has_control(request.method, false)) {
        error = "the method " + quoted(request.method) + " is not an HTTP method";
        return false;
    }
    request.data = std::move(data_);

    // --json adds the JSON content type and accept headers unless the command set its own.
    if (json_) {
        for (const char *name : {"Content-Type", "Accept"})
            if (!header_index_.contains(ascii_lower(name))) set_header(name, "application/json");
    }
    for (const Header &header : headers_) {
        if (has_control(header.name, false) || has_control(header.value, true)) {
            error = "the header " + quoted(header.name) +
                    " holds a line break or another control character";
            return false;
        }
    }
    request.headers = std::move(headers_);

    // Escapes such as \xHH may have produced bytes that are not text.
    bool text = is_utf8(request.url) && is_utf8(request.method) &&
                (!request.data || is_utf8(*request.data));
    for (const Header &header : request.headers)
        text = text && is_utf8(header.name) && is_utf8(header.value);
    if (!text) {
        error = "the curl command's escapes produce bytes that are not UTF-8 text";
        return false;
    }
    return true;
}

// True when `word`, the first word of the command, runs curl: "curl" or "curl.exe", with or
// without a directory in front.
bool is_curl(std::string_view word) {
    size_t slash = word.find_last_of("/\\");
    if (slash != not_found) word.remove_prefix(slash + 1);
    std::string name = ascii_lower(word);
    return name == "curl" || name == "curl.exe";
}

// Reads the words after "curl". Short options may be bundled ("-sSL") and the last of a bundle
// may carry its argument ("-XPOST"); long options take theirs from the next word.
bool read_options(const Words &words, Reader &reader) {
    for (size_t k = 1; k < words.size(); ++k) {
        const std::string &word = words[k];
        if (word.size() < 2 || word[0] != '-') {
            if (!reader.apply(url_argument, word, word)) return false;
            continue;
        }
        if (word[1] == '-') {
            const Option *option = find_long(std::string_view(word).substr(2));
            if (!option) {
                reader.error = "unknown option " + quoted(word);
                return false;
            }
            std::string_view arg;
            if (takes_argument(option->kind)) {
                if (k + 1 == words.size()) {
                    reader.error = "option " + word + " needs an argument";
                    return false;
                }
                arg = words[++k];
            }
            if (!reader.apply(*option, word, arg)) return false;
            continue;
        }
        for (size_t p = 1; p < word.size(); ++p) {
            std::string spelling = {'-', word[p]};
            const Option *option = find_short(word[p]);
            if (!option) {
                reader.error = "unknown option " + quoted(spelling);
                if (word.size() > 2) reader.error += " in " + quoted(word);
                return false;
            }
            if (!takes_argument(option->kind)) {
                if (!reader.apply(*option, spelling, {})) return false;
                continue;
            }
            std::string_view arg;
            if (p + 1 < word.size()) {
                arg = std::string_view(word).substr(p + 1);
            } else if (k + 1 < words.size()) {
                arg = words[++k];
            } else {
                reader.error = "option " + spelling + " needs an argument";
                return false;
            }
            if (!reader.apply(*option, spelling, arg)) return false;
            break;
        }
    }
    return true;
}

} // namespace

ParseResult parse_command(std::string_view text) {
    ParseResult result;

    // The words, in the syntax of the shell the command was copied for.
    Words words;
    Split split = split_posix(text, words, result.error);
    if (split == Split::failed) return result;
    if (split == Split::windows) {
        words.clear();
        if (!split_windows(text, words, result.error)) return result;
    }
    if (words.empty()) {
        result.error = "not a curl command: the text is empty";
        return result;
    }
    if (!is_curl(words[0])) {
        result.error = "not a curl command: it starts with " + quoted(words[0]);
        return result;
    }

    // The request the options describe.
    Reader reader;
    if (!read_options(words, reader) || !reader.finish(result.request)) {
        result.error = std::move(reader.error);
        result.request = {};
    }
    return result;
}

} // namespace glimet::curl
