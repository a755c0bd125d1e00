// The curl command reader: splits a pasted command line into words the way the shell it was
// written for would (bash, PowerShell or cmd), then reads curl's options into the request they
// describe.
#include "glimet_curl/curl_core.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>

namespace glimet::curl {
namespace {

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

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_name_start(char c) { return is_letter(c) || c == '_'; }
bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }

// Line number, from 1, of text[at]: where messages say something stands.
size_t line_of(std::string_view text, size_t at) {
    size_t line = 1;
    for (size_t i = 0; i < at && i < text.size(); ++i)
        if (text[i] == '\n') ++line;
    return line;
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// True when `word`, the first word of the command, runs curl: "curl" or "curl.exe", with or
// without a directory in front.
bool is_curl(std::string_view word) {
    size_t slash = word.find_last_of("/\\");
    if (slash != not_found) word.remove_prefix(slash + 1);
    std::string name = ascii_lower(word);
    return name == "curl" || name == "curl.exe";
}

// The shell a command was written for.
enum class Dialect { posix, powershell, cmd };

// One argument the shell hands to curl. `expansion` is where in the pasted text the first
// expansion starts that the shell would perform in it (a variable, a command's output, a home
// directory, a brace list), which this reader cannot; not_found when there is none.
struct Word {
    std::string text;
    size_t expansion = not_found;
};

// What the shell hands to curl: its arguments and its standard input.
struct CommandLine {
    Dialect dialect;
    std::vector<Word> words;            // the first one names the program
    std::optional<std::string> input;   // from a here-document or a here-string
    size_t input_expansion = not_found; // as in Word, for the input
    std::string input_file;             // "< name": standard input read from a file

    explicit CommandLine(Dialect shell) : dialect(shell) {}
};

// True when the shell expands what starts at text[i]: '$' before a name, a special parameter
// or a bracket, or in bash a '`'. Anything else, '$' included, stands for itself.
bool starts_expansion(std::string_view text, size_t i, Dialect dialect) {
    bool posix = dialect == Dialect::posix;
    if (text[i] == '`') return posix;
    if (text[i] != '$' || i + 1 == text.size()) return false;
    char next = text[i + 1];
    std::string_view special = posix ? "({[@*#?-$!0123456789" : "({?^$0123456789";
    return is_name_start(next) || special.find(next) != not_found;
}

// Index past the bracket that closes the one at text[i], with quoted text and escaped
// characters inside skipped; not_found when it is never closed.
size_t closing_bracket(std::string_view text, size_t i, char escape) {
    char open = text[i];
    char close = open == '(' ? ')' : open == '{' ? '}' : ']';
    size_t depth = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c == escape) {
            ++i;
        } else if (c == '\'' || c == '"') {
            size_t k = i + 1;
            while (k < text.size() && text[k] != c) k += c == '"' && text[k] == escape ? 2 : 1;
            if (k >= text.size()) return not_found;
            i = k;
        } else if (c == open) {
            ++depth;
        } else if (c == close && --depth == 0) {
            return i + 1;
        }
    }
    return not_found;
}

// End of the expansion that starts at text[i] (see starts_expansion), not_found when it is
// never closed.
size_t expansion_end(std::string_view text, size_t i, Dialect dialect) {
    bool posix = dialect == Dialect::posix;
    if (text[i] == '`') {
        for (size_t k = i + 1; k < text.size(); ++k) {
            if (text[k] == '\\')
                ++k;
            else if (text[k] == '`')
                return k + 1;
        }
        return not_found;
    }
    char next = text[i + 1];
    if (next == '(' || next == '{' || next == '[')
        return closing_bracket(text, i + 1, posix ? '\\' : '`');
    if (!is_name_start(next)) return i + 2; // a special parameter
    // A name; PowerShell's may hold a scope or drive, as in $env:TOKEN.
    size_t k = i + 1;
    while (k < text.size() && (is_name_char(text[k]) || (!posix && text[k] == ':'))) ++k;
    return k;
}

// Why the expansion at text[at] cannot be honoured, naming it and its line.
std::string expansion_error(std::string_view text, size_t at, Dialect dialect) {
    std::string line = " (line " + std::to_string(line_of(text, at)) + ")";
    char c = text[at];
    if (c == '{') {
        size_t end = text.find('}', at); // there is one: it made the brace list
        return "the shell would expand " + quoted(text.substr(at, end - at + 1)) + line +
               " into several words; put it in quotes if it is meant as text";
    }
    size_t end = at + 1;
    const char *what = "a home directory";
    if (c == '~') {
        while (end < text.size() && is_name_char(text[end])) ++end;
    } else {
        end = std::min(expansion_end(text, at, dialect), text.size());
        std::string_view start = text.substr(at, 3);
        what = c == '`' || (start.starts_with("$(") && start != "$((") ? "the output of a command"
               : start.starts_with("$(") || start.starts_with("$[") ? "the result of arithmetic"
               : start.starts_with("${") || is_name_start(start[1]) ? "the value of a variable"
                                                                    : "a parameter of the shell";
    }
    return "the shell would replace " + quoted(text.substr(at, end - at)) + line + " with " + what +
           ", which this reader cannot know; write the value itself in its place";
}

// When the '`' before text[i] ends its line, blanks aside, as PowerShell's continuations do:
// the index past the line break (or the end of the text); not_found otherwise.
size_t continuation_end(std::string_view text, size_t i) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i == text.size()) return i;
    size_t joined = line_break(text, i);
    return joined ? i + joined : not_found;
}

enum class Split { done, failed, windows, powershell };

// Splits `text` into curl's arguments and standard input as bash or PowerShell would, without
// expanding anything: blanks and line breaks separate words (so commands wrapped by hand still
// read as one), quotes and escapes are removed, '#' starting a word comments out the rest of
// the line and continuations join lines. An expansion is kept as written and marked on its
// word, for the reader to refuse where the word matters. A '|' hands curl's output to another
// command, whose words are dropped; here-documents, here-strings and "< file" give standard
// input; output redirections go. Other control operators would run more than curl and are
// refused. Returns Split::windows at the first '^' outside quotes (only cmd puts one there)
// and, reading bash, Split::powershell at a '`' that ends a line.
class ShellSplitter {
public:
    ShellSplitter(std::string_view text, CommandLine &line, std::string &error)
        : text_(text), posix_(line.dialect == Dialect::posix), line_(line), error_(error) {}
    Split run();

private:
    enum class Target { argument, discard, input_file, here_string, here_document };
    struct HereDocument {
        std::string delimiter;
        bool strip_tabs, literal, owned; // <<-, a quoted delimiter, curl's own input
    };

    bool fail(std::string message) {
        error_ = std::move(message);
        return false;
    }
    void mark(size_t at) {
        if (expansion_ == not_found) expansion_ = at;
    }
    void add(char c, bool in_quotes);
    void start_word();
    bool end_word();
    void bare(char c);
    void escaped();
    bool single_quoted();
    bool double_quoted();
    void powershell_escape();
    bool expansion(bool in_quotes);
    bool control_operator();
    bool redirection();
    bool pending_target();
    bool here_documents();

    std::string_view text_;
    bool posix_;
    CommandLine &line_;
    std::string &error_;
    size_t i_ = 0;
    // The word being read; quotes start one too, so '' is an empty word.
    std::string word_;
    bool in_word_ = false, quoted_ = false;
    bool name_only_ = true, assignment_ = false; // the word so far is a name, or name=...
    size_t expansion_ = not_found, brace_ = not_found;
    bool brace_list_ = false; // a ',' or ".." after the unquoted '{' at brace_
    // Where the next word goes, and the here-documents whose bodies follow the line.
    Target target_ = Target::argument;
    std::string_view redirection_;
    bool strip_tabs_ = false;
    bool other_input_ = false; // the redirection names a descriptor other than standard input
    bool piped_ = false; // past a '|' (or a final ';' or '&'): words are another command's
    size_t inputs_ = 0;
    std::vector<HereDocument> here_documents_;
};

Split ShellSplitter::run() {
    while (i_ < text_.size()) {
        char c = text_[i_];
        char next = i_ + 1 < text_.size() ? text_[i_ + 1] : '\0';
        bool ok = true;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ok = end_word();
            ++i_;
            // A line break outside quotes ends the command line; here-document bodies follow.
            if (ok && c == '\n' && !here_documents_.empty()) ok = here_documents();
        } else if (c == '^') {
            return Split::windows;
        } else if (c == '#' && !in_word_) {
            while (i_ < text_.size() && text_[i_] != '\n') ++i_;
        } else if (c == '`' && continuation_end(text_, i_ + 1) != not_found) {
            // bash would start a command's output here; no command copied for bash does that.
            if (posix_) return Split::powershell;
            i_ = continuation_end(text_, i_ + 1);
        } else if (c == '\\' || (c == '`' && !posix_)) {
            escaped();
        } else if (!posix_ && c == '@' && !in_word_ && (next == '\'' || next == '"') &&
                   continuation_end(text_, i_ + 2) != not_found) {
            // A here-string (@' or @" ending its line): refused, as its quotes would misread.
            ok = fail("the PowerShell here-string " + quoted(text_.substr(i_, 2)) + " (line " +
                      std::to_string(line_of(text_, i_)) + ") is not read; give the body in " +
                      "single quotes instead");
        } else if (c == '\'') {
            ok = single_quoted();
        } else if (c == '"' || (posix_ && c == '$' && next == '"')) {
            // $"..." is bash's translated string; with no translation it is "...".
            i_ += c == '$' ? 2 : 1;
            ok = double_quoted();
        } else if (posix_ && c == '$' && next == '\'') {
            quoted_ = in_word_ = true;
            name_only_ = false;
            i_ = read_ansi_c(text_, i_ + 2, word_, error_);
            ok = i_ != not_found;
        } else if (c == '$' || c == '`') {
            ok = expansion(false);
        } else if (c == '<' || c == '>' || (posix_ && c == '&' && next == '>')) {
            ok = redirection();
        } else if (c == '|' || c == '&' || c == ';' || c == '(' || c == ')') {
            ok = control_operator();
        } else {
            bare(c);
        }
        if (!ok) return Split::failed;
    }
    if (!end_word() || !pending_target()) return Split::failed;
    if (!here_documents_.empty()) {
        const std::string &delimiter = here_documents_.front().delimiter;
        fail("the here-document " + quoted(delimiter) + " has no text: its lines must follow " +
             "the command, up to a line holding only " + quoted(delimiter));
        return Split::failed;
    }
    return Split::done;
}

void ShellSplitter::add(char c, bool in_quotes) {
    // bash expands '~' after the '=' of a word shaped like an assignment, name=value.
    if (name_only_ && (in_quotes || !is_name_char(c))) {
        assignment_ = !in_quotes && c == '=' && !word_.empty() && !is_digit(word_[0]);
        name_only_ = false;
    }
    quoted_ = quoted_ || in_quotes;
    word_ += c;
    in_word_ = true;
}

void ShellSplitter::start_word() {
    word_.clear();
    in_word_ = quoted_ = assignment_ = brace_list_ = false;
    name_only_ = true;
    expansion_ = brace_ = not_found;
}

// Hands the word read so far to its target: curl's arguments, or a redirection.
bool ShellSplitter::end_word() {
    if (!in_word_) return true;
    Word word{std::move(word_), expansion_};
    bool literal = quoted_;
    bool owned = !piped_ && !other_input_; // curl's own standard input
    start_word();
    switch (std::exchange(target_, Target::argument)) {
    case Target::argument:
        if (!piped_) line_.words.push_back(std::move(word));
        return true;
    case Target::discard:
        return true;
    case Target::here_document:
        here_documents_.push_back({std::move(word.text), strip_tabs_, literal, owned});
        break;
    case Target::here_string:
        if (owned) line_.input = std::move(word.text) + '\n';
        if (owned) line_.input_expansion = word.expansion;
        break;
    case Target::input_file:
        if (owned) line_.input_file = std::move(word.text);
        break;
    }
    // One standard input: a second redirection of curl's would hide the first.
    if (owned && ++inputs_ > 1)
        return fail("the curl command's standard input is redirected more than once; keep one "
                    "here-document");
    return true;
}

// An unquoted character that stands for itself, save that bash expands '~' at the start of a
// word or of an assignment's value (and after a ':' there), and {a,b} or {1..3} into words.
void ShellSplitter::bare(char c) {
    if (posix_) {
        bool value = assignment_ && !word_.empty() && (word_.back() == '=' || word_.back() == ':');
        if (c == '~' && (!in_word_ || value)) {
            mark(i_);
        } else if (c == '{' && brace_ == not_found) {
            brace_ = i_;
        } else if (brace_ != not_found && (c == ',' || (c == '.' && text_[i_ - 1] == '.'))) {
            brace_list_ = true;
        } else if (c == '}' && brace_list_) {
            mark(brace_);
        }
    }
    add(c, false);
    ++i_;
}

// An escape outside quotes. bash: '\' takes the next character as it is, and before a line
// break joins the lines. PowerShell: '`' does the same; '\' is an ordinary character, save in
// \' which API clients write for a quote in bash's manner ('it'\''s') even there.
void ShellSplitter::escaped() {
    char c = text_[i_];
    size_t next = i_ + 1;
    if (c == (posix_ ? '\\' : '`')) {
        // A final escape, left when a pasted continuation lost its line break, is dropped.
        size_t joined = line_break(text_, next);
        if (joined || next == text_.size()) {
            i_ = next + joined;
            return;
        }
        add(text_[next], true);
        i_ = next + 1;
    } else if (next < text_.size() && text_[next] == '\'') {
        add('\'', true);
        i_ = next + 1;
    } else {
        add('\\', false);
        i_ = next;
    }
}

// Reads '...' from i_, at the opening quote. PowerShell writes a quote inside as ''.
bool ShellSplitter::single_quoted() {
    quoted_ = in_word_ = true;
    name_only_ = false;
    size_t start = i_ + 1;
    for (;;) {
        size_t end = text_.find('\'', start);
        if (end == not_found) return fail("unterminated single quote in the curl command");
        word_.append(text_, start, end - start);
        if (posix_ || end + 1 == text_.size() || text_[end + 1] != '\'') {
            i_ = end + 1;
            return true;
        }
        word_ += '\'';
        start = end + 2;
    }
}

// Reads the rest of "..." from i_. bash: a backslash escapes only $ ` " \ and a line break; '$'
// and '`' expand. PowerShell: '`' escapes (`n and the like), "" is a quote, '$' expands, and a
// backslash escapes " and itself, as API clients writing bash's quoting for PowerShell mean.
bool ShellSplitter::double_quoted() {
    quoted_ = in_word_ = true;
    name_only_ = false;
    for (;;) {
        if (i_ == text_.size()) return fail("unterminated double quote in the curl command");
        char c = text_[i_];
        char next = i_ + 1 < text_.size() ? text_[i_ + 1] : '\0';
        std::string_view escapable = posix_ ? "$`\"\\" : "\"\\";
        size_t joined = posix_ && c == '\\' ? line_break(text_, i_ + 1) : 0;
        if (c == '"' && !posix_ && next == '"') {
            add('"', true);
            i_ += 2;
        } else if (c == '"') {
            ++i_;
            return true;
        } else if (joined) {
            i_ += 1 + joined;
        } else if (c == '\\' && i_ + 1 < text_.size() && escapable.find(next) != not_found) {
            add(next, true);
            i_ += 2;
        } else if (c == '`' && !posix_) {
            powershell_escape();
        } else if (c == '$' || c == '`') {
            if (!expansion(true)) return false;
        } else {
            add(c, true);
            ++i_;
        }
    }
}

// PowerShell's '`' inside "...": `0 `a `b `e `f `n `r `t `v are control characters, `u{hex}
// the character of that code, and before anything else the character itself.
void ShellSplitter::powershell_escape() {
    static constexpr std::string_view letters = "0abefnrtv";
    static constexpr char controls[] = {'\0', '\a', '\b', '\x1B', '\f', '\n', '\r', '\t', '\v'};
    if (i_ + 1 == text_.size()) {
        ++i_;
        return;
    }
    char next = text_[i_ + 1];
    uint32_t code = 0;
    size_t digits = 0;
    if (next == 'u' && text_.substr(i_ + 2, 1) == "{") digits = read_hex(text_, i_ + 3, 6, code);
    bool character = digits > 0 && text_.substr(i_ + 3 + digits, 1) == "}" && code <= 0x10FFFF &&
                     (code < 0xD800 || code > 0xDFFF);
    if (letters.find(next) != not_found) {
        add(controls[letters.find(next)], true);
        i_ += 2;
    } else if (character) {
        std::string utf8;
        append_utf8(utf8, code);
        for (char byte : utf8) add(byte, true);
        i_ += 4 + digits;
    } else {
        add(next, true);
        i_ += 2;
    }
}

// At '$' or, in bash, '`': an expansion, kept as written and marked on the word; a '$' that
// starts none stands for itself.
bool ShellSplitter::expansion(bool in_quotes) {
    if (!starts_expansion(text_, i_, line_.dialect)) {
        add(text_[i_++], in_quotes);
        return true;
    }
    size_t end = expansion_end(text_, i_, line_.dialect);
    if (end == not_found) {
        std::string_view opening = text_.substr(i_, text_[i_] == '`' ? 1 : 2);
        return fail("unterminated " + quoted(opening) + " in the curl command");
    }
    mark(i_);
    word_.append(text_, i_, end - i_);
    in_word_ = true;
    name_only_ = false;
    i_ = end;
    return true;
}

// At an unquoted | & ; ( or ): the end of the curl command. A pipe only sends curl's output
// on; anything else that more text follows would run more than curl, and is refused.
bool ShellSplitter::control_operator() {
    if (!end_word() || !pending_target()) return false;
    char c = text_[i_];
    size_t length = 1;
    if (c != '(' && c != ')' && i_ + 1 < text_.size() &&
        (text_[i_ + 1] == c || (c == '|' && text_[i_ + 1] == '&')))
        length = 2;
    std::string_view op = text_.substr(i_, length);
    size_t at = i_;
    i_ += length;
    // After a pipe, or a final ';' or '&', curl still runs as written.
    bool last = (op == ";" || op == "&") && text_.find_first_not_of(" \t\r\n", i_) == not_found;
    if (piped_ || op == "|" || op == "|&" || last) {
        piped_ = true;
        return true;
    }
    // Counting lines only for the message keeps many pipes linear.
    std::string where = quoted(op) + " on line " + std::to_string(line_of(text_, at));
    if (c == '(' || c == ')')
        return fail("the unquoted " + where + " is shell syntax, not text; put the word it " +
                    "stands in in quotes");
    return fail("the text goes on after the curl command: the shell would end it at the " +
                std::string("unquoted ") + where + " and run the rest as another command; " +
                "paste the curl command alone, or quote the word the character belongs to");
}

// At an unquoted '<' or '>' (or bash's "&>"): a redirection, whose target is the next word. A
// word of digits written right against it names a descriptor and is no argument; one other
// than 0 before '<' gives another input than curl's (3<<EOF), which curl never reads.
bool ShellSplitter::redirection() {
    bool descriptor = in_word_ && !quoted_ && word_.find_first_not_of("0123456789") == not_found;
    bool other_input = descriptor && word_.find_first_not_of('0') != not_found;
    if (descriptor)
        start_word();
    else if (!end_word())
        return false;
    if (!pending_target()) return false;
    other_input_ = other_input;
    static constexpr std::string_view operators[] = {"<<<", "<<-", "&>>", "<<", "<&", "<>",
                                                     ">>",  ">|",  ">&",  "&>", "<",  ">"};
    std::string_view rest = text_.substr(i_);
    for (std::string_view candidate : operators) {
        if (rest.starts_with(candidate)) {
            redirection_ = candidate;
            break;
        }
    }
    i_ += redirection_.size();
    // Standard input from a here-document, a here-string or a file; the rest sends output away.
    target_ = redirection_ == "<<<"            ? Target::here_string
              : redirection_.starts_with("<<") ? Target::here_document
              : redirection_ == "<"            ? Target::input_file
                                               : Target::discard;
    strip_tabs_ = redirection_ == "<<-";
    if (!posix_ && redirection_.starts_with('<'))
        return fail("PowerShell has no " + quoted(redirection_) +
                    " redirection; give the body in the command itself");
    return true;
}

// False with the error set when a redirection still waits for its target.
bool ShellSplitter::pending_target() {
    if (target_ == Target::argument) return true;
    return fail("the redirection " + quoted(redirection_) + " has nothing after it");
}

// Reads, from i_ (just past the line break that ends the command line), the text of the
// here-documents the line opened, each up to a line holding only its delimiter; <<- strips
// leading tabs first. With a delimiter left unquoted the shell joins lines ending in '\',
// removes the '\' before '$', '`' and '\', and expands the rest as in double quotes.
bool ShellSplitter::here_documents() {
    for (HereDocument &document : here_documents_) {
        std::string body;
        size_t expansion = not_found;
        for (bool closed = false; !closed;) {
            if (i_ == text_.size())
                return fail("the here-document " + quoted(document.delimiter) +
                            " does not end: a line holding only " + quoted(document.delimiter) +
                            " must close it");
            // One line, as written (to find the delimiter) and as the shell reads it.
            std::string written, read;
            bool line_start = true;
            while (i_ < text_.size()) {
                char c = text_[i_];
                size_t ends = line_break(text_, i_);
                size_t joined = line_break(text_, i_ + 1);
                char next = i_ + 1 < text_.size() ? text_[i_ + 1] : '\0';
                if (ends) {
                    i_ += ends;
                    break;
                }
                if (line_start && document.strip_tabs && c == '\t') {
                    ++i_;
                    continue;
                }
                line_start = false;
                if (!document.literal && c == '\\' && joined) {
                    i_ += 1 + joined;
                    line_start = true;
                    continue;
                }
                bool escape = next == '$' || next == '`' || next == '\\';
                if (!document.literal && c == '\\' && escape) {
                    written += c;
                    c = next;
                    ++i_;
                } else if (!document.literal && expansion == not_found &&
                           starts_expansion(text_, i_, Dialect::posix)) {
                    expansion = i_;
                }
                written += c;
                read += c;
                ++i_;
            }
            closed = written == document.delimiter;
            if (!closed) body += read + '\n';
        }
        if (document.owned) {
            line_.input = std::move(body);
            line_.input_expansion = expansion;
        }
    }
    here_documents_.clear();
    return true;
}

// Splits `text` as cmd.exe and then the Microsoft C runtime do for a program's arguments.
// cmd drops carriage returns, removes '^' escapes outside its own double quotes and joins lines
// that end in '^' (the first character of the next line taken literally, so "^" LF LF is one
// line break); the runtime then splits at blanks outside "...", where 2n backslashes before a
// quote give n and 2n+1 give n and a literal quote, and "" inside quotes is a literal quote.
// One departure: browsers writing this syntax double every backslash, although the runtime
// halves only those before a quote, so elsewhere a pair is read as one backslash too; the
// text the browser sent comes back unchanged, and a single backslash still stands for itself.
// An unescaped '|' outside cmd's quotes sends curl's output to another command, whose words are
// dropped; an '&' would run another command, and is refused.
bool split_windows(std::string_view text, CommandLine &command, std::string &error) {
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
        } else if (c == '&' || c == '|') {
            // cmd ends the command here: a pipe only sends curl's output on, the rest runs more.
            std::string_view op = text.substr(i, i + 1 < text.size() && text[i + 1] == c ? 2 : 1);
            if (op == "|") break;
            error = "the text goes on after the curl command: cmd would end it at the unquoted " +
                    quoted(op) + " on line " + std::to_string(line_of(text, i)) +
                    " and run the rest as another command; paste the curl command alone, or " +
                    "escape the character as ^" + std::string(1, c);
            return false;
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
            if (in_word) command.words.push_back({std::move(word)}), word.clear(), in_word = false;
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
    if (in_word) command.words.push_back({std::move(word)});
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
    range,
    data,        // -d, --data-ascii: "@file" reads a file, its line breaks dropped
    data_binary, // "@file" reads a file as it is
    data_raw,    // "@" is literal
    data_urlencode,
    json,
    url,
    get,
    head,
    globoff,
    proto_default,
    unsupported,
};

struct Option {
    char letter;           // short form, or 0
    std::string_view name; // long form without "--", or empty
    Kind kind;
    const char *reason = nullptr; // for refused options: what they do and what to do instead
};

// Reasons shared by several refused options.
constexpr const char *form_reason = "sends a multipart form, which this reader does not build; "
                                    "send the fields with -d, or the body as JSON";
constexpr const char *exchange_reason =
    "asks for an authentication that takes an exchange with the server (Digest, NTLM, "
    "Negotiate, AWS signing), which a pasted request cannot carry; copy a request that already "
    "holds the Authorization header or session cookie";
constexpr const char *certificate_reason =
    "signs in with a client certificate, which this reader cannot present; copy a request that "
    "signs in with a header or cookie";
constexpr const char *address_reason =
    "sends the request to another address than the URL's host; leave it out if the host's own "
    "address will do";
constexpr const char *netrc_reason =
    "takes the user name and password from a .netrc file; give them with -u instead";

constexpr Option options[] = {
    {'X', "request", Kind::method},
    {'H', "header", Kind::header},
    {'b', "cookie", Kind::cookie},
    {'A', "user-agent", Kind::user_agent},
    {'e', "referer", Kind::referer},
    {'u', "user", Kind::user},
    {0, "oauth2-bearer", Kind::bearer},
    {'r', "range", Kind::range},
    {'d', "data", Kind::data},
    {0, "data-ascii", Kind::data},
    {0, "data-binary", Kind::data_binary},
    {0, "data-raw", Kind::data_raw},
    {0, "data-urlencode", Kind::data_urlencode},
    {0, "json", Kind::json},
    {0, "url", Kind::url},
    {'G', "get", Kind::get},
    {'I', "head", Kind::head},
    {'g', "globoff", Kind::globoff},
    {0, "proto-default", Kind::proto_default},
    {'F', "form", Kind::unsupported, form_reason},
    {0, "form-string", Kind::unsupported, form_reason},
    {'T', "upload-file", Kind::unsupported,
     "uploads a file, which this reader cannot read; paste its content with --data-binary"},
    {'K', "config", Kind::unsupported,
     "reads further options from a file; paste them into the command instead"},
    {0, "digest", Kind::unsupported, exchange_reason},
    {0, "ntlm", Kind::unsupported, exchange_reason},
    {0, "ntlm-wb", Kind::unsupported, exchange_reason},
    {0, "negotiate", Kind::unsupported, exchange_reason},
    {0, "anyauth", Kind::unsupported, exchange_reason},
    {0, "aws-sigv4", Kind::unsupported, exchange_reason},
    {0, "krb", Kind::unsupported, exchange_reason},
    {0, "delegation", Kind::unsupported, exchange_reason},
    {'E', "cert", Kind::unsupported, certificate_reason},
    {0, "cert-type", Kind::unsupported, certificate_reason},
    {0, "key", Kind::unsupported, certificate_reason},
    {0, "key-type", Kind::unsupported, certificate_reason},
    {0, "pass", Kind::unsupported, certificate_reason},
    {0, "url-query", Kind::unsupported,
     "adds query parameters, which curl versions encode differently; write them into the URL"},
    {0, "request-target", Kind::unsupported,
     "sends another path than the URL's; write that path into the URL"},
    {0, "resolve", Kind::unsupported, address_reason},
    {0, "connect-to", Kind::unsupported, address_reason},
    {0, "unix-socket", Kind::unsupported, address_reason},
    {0, "abstract-unix-socket", Kind::unsupported, address_reason},
    {':', "next", Kind::unsupported,
     "starts another request in the same command; paste one request at a time"},
    {'z', "time-cond", Kind::unsupported,
     "adds a condition computed from a date or a file's time; write the If-Modified-Since "
     "header with -H instead"},
    {'C', "continue-at", Kind::unsupported,
     "resumes a transfer at an offset; write the Range header with -H instead"},
    {'n', "netrc", Kind::unsupported, netrc_reason},
    {0, "netrc-file", Kind::unsupported, netrc_reason},
    {0, "netrc-optional", Kind::unsupported, netrc_reason},
    {0, "etag-compare", Kind::unsupported,
     "reads an ETag from a file; write the If-None-Match header with -H instead"},
    {0, "variable", Kind::unsupported,
     "sets variables for curl's --expand- options; write their values into the command"},
    {'s', "silent", Kind::flag},
    {'S', "show-error", Kind::flag},
    {'v', "verbose", Kind::flag},
    {'i', "include", Kind::flag},
    {'k', "insecure", Kind::flag},
    {'L', "location", Kind::flag},
    {'f', "fail", Kind::flag},
    {'#', "progress-bar", Kind::flag},
    {'N', "buffer", Kind::flag},
    {'O', "remote-name", Kind::flag},
    {'R', "remote-time", Kind::flag},
    {'j', "junk-session-cookies", Kind::flag},
    {'q', "disable", Kind::flag},
    {'p', "proxytunnel", Kind::flag},
    {'Z', "parallel", Kind::flag},
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
    {0, "ssl", Kind::flag},
    {0, "ssl-reqd", Kind::flag},
    {0, "ssl-no-revoke", Kind::flag},
    {0, "ssl-revoke-best-effort", Kind::flag},
    {0, "ssl-allow-beast", Kind::flag},
    {0, "ssl-auto-client-cert", Kind::flag},
    {0, "cert-status", Kind::flag},
    {0, "false-start", Kind::flag},
    {0, "tlsv1.0", Kind::flag},
    {0, "tlsv1.1", Kind::flag},
    {0, "tlsv1.2", Kind::flag},
    {0, "tlsv1.3", Kind::flag},
    {0, "proxy-insecure", Kind::flag},
    {0, "proxy-basic", Kind::flag},
    {0, "proxy-digest", Kind::flag},
    {0, "proxy-ntlm", Kind::flag},
    {0, "proxy-negotiate", Kind::flag},
    {0, "proxy-anyauth", Kind::flag},
    {0, "haproxy-protocol", Kind::flag},
    {0, "keepalive", Kind::flag},
    {0, "sessionid", Kind::flag},
    {0, "alpn", Kind::flag},
    {0, "npn", Kind::flag},
    {0, "raw", Kind::flag},
    {0, "tr-encoding", Kind::flag},
    {0, "basic", Kind::flag},
    {0, "post301", Kind::flag},
    {0, "post302", Kind::flag},
    {0, "post303", Kind::flag},
    {0, "ignore-content-length", Kind::flag},
    {0, "disallow-username-in-url", Kind::flag},
    {0, "parallel-immediate", Kind::flag},
    {0, "remote-name-all", Kind::flag},
    {0, "remove-on-error", Kind::flag},
    {0, "create-dirs", Kind::flag},
    {0, "clobber", Kind::flag},
    {0, "xattr", Kind::flag},
    {0, "styled-output", Kind::flag},
    {0, "trace-time", Kind::flag},
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
    {'y', "speed-time", Kind::ignored_arg},
    {'Y', "speed-limit", Kind::ignored_arg},
    {0, "cacert", Kind::ignored_arg},
    {0, "capath", Kind::ignored_arg},
    {0, "crlfile", Kind::ignored_arg},
    {0, "pinnedpubkey", Kind::ignored_arg},
    {0, "ciphers", Kind::ignored_arg},
    {0, "tls13-ciphers", Kind::ignored_arg},
    {0, "curves", Kind::ignored_arg},
    {0, "tls-max", Kind::ignored_arg},
    {0, "proto", Kind::ignored_arg},
    {0, "proto-redir", Kind::ignored_arg},
    {0, "connect-timeout", Kind::ignored_arg},
    {0, "happy-eyeballs-timeout-ms", Kind::ignored_arg},
    {0, "retry", Kind::ignored_arg},
    {0, "retry-delay", Kind::ignored_arg},
    {0, "retry-max-time", Kind::ignored_arg},
    {0, "max-redirs", Kind::ignored_arg},
    {0, "limit-rate", Kind::ignored_arg},
    {0, "rate", Kind::ignored_arg},
    {0, "parallel-max", Kind::ignored_arg},
    {0, "trace", Kind::ignored_arg},
    {0, "trace-ascii", Kind::ignored_arg},
    {0, "stderr", Kind::ignored_arg},
    {0, "libcurl", Kind::ignored_arg},
    {0, "noproxy", Kind::ignored_arg},
    {0, "preproxy", Kind::ignored_arg},
    {0, "proxy-header", Kind::ignored_arg},
    {0, "proxy-cacert", Kind::ignored_arg},
    {0, "socks4", Kind::ignored_arg},
    {0, "socks4a", Kind::ignored_arg},
    {0, "socks5", Kind::ignored_arg},
    {0, "socks5-hostname", Kind::ignored_arg},
    {0, "interface", Kind::ignored_arg},
    {0, "local-port", Kind::ignored_arg},
    {0, "dns-servers", Kind::ignored_arg},
    {0, "doh-url", Kind::ignored_arg},
    {0, "output-dir", Kind::ignored_arg},
    {0, "etag-save", Kind::ignored_arg},
    {0, "hsts", Kind::ignored_arg},
    {0, "alt-svc", Kind::ignored_arg},
    {0, "expect100-timeout", Kind::ignored_arg},
    {0, "keepalive-time", Kind::ignored_arg},
    {0, "max-filesize", Kind::ignored_arg},
};

bool takes_argument(Kind kind) {
    return kind != Kind::flag && kind != Kind::get && kind != Kind::head && kind != Kind::globoff &&
           kind != Kind::unsupported;
}

const Option *find_long(std::string_view name) {
    for (const Option &option : options)
        if (option.name == name) return &option;
    // Every boolean option also has a --no- form; every --expand- form reads curl's variables.
    if (name.starts_with("no-")) {
        for (const Option &option : options)
            if (option.kind == Kind::flag && option.name == name.substr(3)) return &option;
    }
    bool plain = name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == not_found;
    if (plain && name.starts_with("expand-")) return find_long("variable");
    return nullptr;
}

const Option *find_short(char letter) {
    if (letter == 0) return nullptr; // 0 marks options with no short form
    for (const Option &option : options)
        if (option.letter == letter) return &option;
    return nullptr;
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

// Form encoding as curl's --data-urlencode does it: letters, digits and "-._~" stay, a space
// becomes '+', every other byte %HH.
std::string form_encoded(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~';
        if (plain) {
            out += c;
        } else if (c == ' ') {
            out += '+';
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

// Length of the scheme and "://" that `url` starts with, 0 when it has none.
size_t scheme_length(std::string_view url) {
    size_t end = 0;
    while (end < url.size() && (is_letter(url[end]) || is_digit(url[end]) ||
                                std::string_view("+-.").find(url[end]) != not_found))
        ++end;
    return end > 0 && is_letter(url[0]) && url.substr(end, 3) == "://" ? end + 3 : 0;
}

// Index past a host in brackets, an IPv6 address such as [::1], at the start of the URL's
// authority; 0 when there is none.
size_t ipv6_host_end(std::string_view url) {
    size_t start = scheme_length(url);
    size_t authority_end = std::min(url.find_first_of("/?#", start), url.size());
    size_t at = url.substr(start, authority_end - start).rfind('@');
    if (at != not_found) start += at + 1;
    size_t close = url.find(']', start);
    if (start >= url.size() || url[start] != '[' || close == not_found) return 0;
    std::string_view address = url.substr(start + 1, close - start - 1);
    bool valid = address.find(':') != not_found;
    for (char c : address) valid = valid && (is_name_char(c) || c == ':' || c == '.' || c == '%');
    return valid ? close + 1 : 0;
}

// The URL curl requests for `url` with globbing on: "\[" "\]" "\{" "\}" stand for the
// character, "[]" and a host in brackets stay as they are. `pattern` is set to where any other
// bracket or brace starts a pattern (several requests, or curl's refusal).
std::string unglobbed(std::string_view url, size_t &pattern) {
    static constexpr std::string_view brackets = "[]{}";
    std::string out;
    size_t host_end = ipv6_host_end(url);
    for (size_t i = 0; i < url.size(); ++i) {
        char c = url[i];
        char next = i + 1 < url.size() ? url[i + 1] : '\0';
        if (i < host_end) {
            out += c;
        } else if (c == '\\' && next != '\0' && brackets.find(next) != not_found) {
            out += next;
            ++i;
        } else if (c == '[' && next == ']') {
            out += "[]";
            ++i;
        } else if (brackets.find(c) != not_found) {
            pattern = i;
            return {};
        } else {
            out += c;
        }
    }
    return out;
}

// The options of one command, read in order into the request they describe.
class Reader {
public:
    Reader(std::string_view text, CommandLine &line) : text_(text), line_(line) {}
    // The request; false with `error` set when the command cannot be honoured.
    bool read(Request &request) { return read_options() && finish(request); }
    std::string error;

private:
    // A header as the command sets it. curl's own headers (from -A, -b, -u and the like) give
    // way to a -H of the same name, whatever the order, and -H "Name:" stops curl's own.
    struct Entry {
        Header header;
        bool custom = false;  // set with -H
        bool removed = false; // -H "Name:"
    };

    bool read_options();
    bool apply(const Option &option, std::string_view spelling, const Word *word);
    bool finish(Request &request);
    bool resolve_url(std::string &url);
    bool literal(std::string_view context, const Word &word);
    Entry &entry(std::string_view name);
    bool custom_header(std::string_view spelling, std::string_view name, std::string_view value);
    void own_header(std::string_view name, std::string value);
    bool header_line(std::string_view spelling, std::string_view line);
    bool refuse_file(std::string_view spelling, std::string_view name);
    bool standard_input(std::string_view spelling, std::string &content);
    bool body(std::string_view spelling, std::string_view arg, bool one_line, std::string &out);
    void add_data(std::string_view piece, bool joined_plain);

    std::string_view text_; // the pasted text, which expansions point into
    CommandLine &line_;
    std::vector<std::string> urls_;
    std::vector<Entry> headers_;                           // in the order names first appear
    std::unordered_map<std::string, size_t> header_index_; // lower-case name -> position
    std::optional<std::string> data_;
    std::optional<std::string> method_;
    std::string cookies_;
    std::string default_scheme_;
    bool get_ = false, head_ = false, json_ = false, bearer_ = false, globoff_ = false;
};

// A NUL (from an escape such as $'\0') ends a program's argument: the shell cuts it short there.
constexpr const char *nul_reason =
    "the text holds a NUL character, which no shell hands to curl as written; leave it out";

// False with `error` set when the shell would have expanded something in `word`, or would not
// hand it to curl whole.
bool Reader::literal(std::string_view context, const Word &word) {
    if (word.text.find('\0') != not_found) {
        error = std::string(context) + ": " + nul_reason;
        return false;
    }
    if (word.expansion == not_found) return true;
    error = std::string(context) + ": " + expansion_error(text_, word.expansion, line_.dialect);
    return false;
}

// The entry for `name` (compared without case), added last when there is none yet.
Reader::Entry &Reader::entry(std::string_view name) {
    auto [position, added] = header_index_.try_emplace(ascii_lower(name), headers_.size());
    if (added) headers_.push_back({{std::string(name), {}}});
    return headers_[position->second];
}

// -H "Name: value". curl sends a header given twice twice; a request here carries each name
// once, so the same value again is taken as one header and another value is refused rather
// than one of them dropped.
bool Reader::custom_header(std::string_view spelling, std::string_view name,
                           std::string_view value) {
    Entry &header = entry(name);
    if (header.custom && !header.removed && header.header.value != value) {
        error = "option " + std::string(spelling) + ": the header " + quoted(name) +
                " is given twice, as " + quoted(header.header.value) + " and " + quoted(value) +
                "; curl would send both, but a request here carries it once: keep the one meant";
        return false;
    }
    if (!header.custom) header.header.name = name;
    header.header.value = value;
    header.custom = true;
    header.removed = false;
    return true;
}

// A header curl adds itself; an empty value sends none (as -A '' does).
void Reader::own_header(std::string_view name, std::string value) {
    Entry &header = entry(name);
    if (!header.custom) header.header.value = std::move(value);
}

// -H "Name: value". As in curl, "Name:" keeps curl from adding its own header of that name
// and "Name;" sends the header with an empty value.
bool Reader::header_line(std::string_view spelling, std::string_view line) {
    if (line.starts_with('@')) return refuse_file(spelling, line.substr(1));
    size_t colon = line.find(':');
    if (colon == not_found) {
        std::string_view name = trimmed(line);
        if (name.size() > 1 && name.back() == ';')
            return custom_header(spelling, trimmed(name.substr(0, name.size() - 1)), "");
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
    if (!value.empty()) return custom_header(spelling, name, value);
    Entry &header = entry(name);
    if (!header.custom) header.custom = header.removed = true;
    return true;
}

bool Reader::refuse_file(std::string_view spelling, std::string_view name) {
    error = "option " + std::string(spelling) + ": reading " + quoted(name) +
            " from a file is not supported; paste the content into the command instead";
    return false;
}

// What curl reads for "@-": the here-document or here-string the command gives. curl reads it
// once, so a second "@-" gets nothing.
bool Reader::standard_input(std::string_view spelling, std::string &content) {
    if (!line_.input_file.empty()) return refuse_file(spelling, line_.input_file);
    if (!line_.input) {
        error = "option " + std::string(spelling) + ": '@-' reads standard input, which the " +
                "command does not give; paste the content in place of '@-' or give it as a " +
                "here-document";
        return false;
    }
    if (line_.input_expansion != not_found) {
        error = "option " + std::string(spelling) + ": " +
                expansion_error(text_, line_.input_expansion, line_.dialect);
        return false;
    }
    if (line_.input->find('\0') != not_found) {
        error = "option " + std::string(spelling) + ": standard input: " + nul_reason;
        return false;
    }
    content = std::exchange(*line_.input, std::string());
    return true;
}

// The body an argument of -d and the like gives: itself, or with '@' what curl reads from the
// named file, of which only "-", standard input, can be honoured. `one_line` drops carriage
// returns and line feeds from what is read, as -d does.
bool Reader::body(std::string_view spelling, std::string_view arg, bool one_line,
                  std::string &out) {
    if (!arg.starts_with('@')) {
        out = arg;
        return true;
    }
    if (arg != "@-") return refuse_file(spelling, arg.substr(1));
    if (!standard_input(spelling, out)) return false;
    if (one_line) std::erase_if(out, [](char c) { return c == '\r' || c == '\n'; });
    return true;
}

// curl joins the pieces of the body with '&', except that a --json piece follows directly.
void Reader::add_data(std::string_view piece, bool joined_plain) {
    if (!data_)
        data_.emplace();
    else if (!joined_plain)
        *data_ += '&';
    *data_ += piece;
}

bool Reader::apply(const Option &option, std::string_view spelling, const Word *word) {
    if (option.kind == Kind::unsupported) {
        error = "option " + std::string(spelling) + " " + option.reason;
        return false;
    }
    if (option.kind == Kind::flag || option.kind == Kind::ignored_arg) return true;
    // Every other argument goes into the request, so the shell must not have had to expand it.
    if (word && !literal("option " + std::string(spelling), *word)) return false;
    std::string_view arg = word ? std::string_view(word->text) : std::string_view();
    std::string piece;
    switch (option.kind) {
    case Kind::method:
        method_ = std::string(arg);
        return true;
    case Kind::header:
        return header_line(spelling, arg);
    case Kind::cookie:
        // An argument without '=' names a cookie file. curl joins the cookies with ';'.
        if (arg.empty()) return true;
        if (arg.find('=') == not_found) {
            error = "option " + std::string(spelling) + ": reading cookies from the file " +
                    quoted(arg) + " is not supported; give the cookies as name=value pairs";
            return false;
        }
        if (cookies_.empty())
            own_header("Cookie", {}); // its place; the value is joined once, at the end
        else
            cookies_ += ';';
        cookies_ += arg;
        return true;
    case Kind::user_agent:
        own_header("User-Agent", std::string(arg));
        return true;
    case Kind::referer:
        if (arg.ends_with(";auto")) arg.remove_suffix(5);
        own_header("Referer", std::string(arg));
        return true;
    case Kind::user:
        if (arg.find(':') == not_found) {
            error = "option " + std::string(spelling) + ": " + quoted(arg) +
                    " has no password (curl would prompt for it); give user:password";
            return false;
        }
        // A bearer token wins over a password, whatever the order.
        if (!bearer_) own_header("Authorization", "Basic " + base64(arg));
        return true;
    case Kind::bearer:
        own_header("Authorization", "Bearer " + std::string(arg));
        bearer_ = true;
        return true;
    case Kind::range:
        own_header("Range", "bytes=" + std::string(arg));
        return true;
    case Kind::data:
    case Kind::data_binary:
    case Kind::json:
        if (!body(spelling, arg, option.kind == Kind::data, piece)) return false;
        add_data(piece, option.kind == Kind::json);
        json_ = json_ || option.kind == Kind::json;
        return true;
    case Kind::data_raw:
        add_data(arg, false);
        return true;
    case Kind::data_urlencode: {
        // "content", "=content", "name=content" or "name@file", told apart as curl does: by the
        // first '=', else the first '@'. The name goes as it is, the content form-encoded.
        size_t split = arg.find('=');
        if (split == not_found) split = arg.find('@');
        std::string_view name = split == not_found ? std::string_view() : arg.substr(0, split);
        if (split == not_found || arg[split] == '=')
            piece = arg.substr(split == not_found ? 0 : split + 1);
        else if (!body(spelling, arg.substr(split), false, piece))
            return false;
        add_data(std::string(name) + (name.empty() ? "" : "=") + form_encoded(piece), false);
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
    case Kind::globoff:
        globoff_ = true;
        return true;
    case Kind::proto_default:
        default_scheme_ = ascii_lower(arg);
        return true;
    default:
        return true;
    }
}

// Reads the words after "curl". Short options may be bundled ("-sSL") and the last of a bundle
// may carry its argument ("-XPOST"); long options take theirs from the next word.
bool Reader::read_options() {
    const std::vector<Word> &words = line_.words;
    for (size_t k = 1; k < words.size(); ++k) {
        const Word &word = words[k];
        std::string_view text = word.text;
        if (text.size() < 2 || text[0] != '-') {
            if (!literal("the URL", word)) return false;
            urls_.push_back(word.text);
            continue;
        }
        if (!literal(quoted(text), word)) return false;
        if (text[1] == '-') {
            const Option *option = find_long(text.substr(2));
            if (!option) {
                error = "unknown option " + quoted(text) + ": curl has no such option, or this " +
                        "reader does not know it; check the spelling, or leave it out if it " +
                        "does not change the request";
                return false;
            }
            const Word *arg = nullptr;
            if (takes_argument(option->kind)) {
                if (k + 1 == words.size()) {
                    error = "option " + word.text + " needs an argument";
                    return false;
                }
                arg = &words[++k];
            }
            if (!apply(*option, text, arg)) return false;
            continue;
        }
        for (size_t p = 1; p < text.size(); ++p) {
            std::string spelling = {'-', text[p]};
            const Option *option = find_short(text[p]);
            if (!option) {
                error = "unknown option " + quoted(spelling);
                if (text.size() > 2) error += " in " + quoted(text);
                error += ": check the spelling, or leave it out if it does not change the request";
                return false;
            }
            if (!takes_argument(option->kind)) {
                if (!apply(*option, spelling, nullptr)) return false;
                continue;
            }
            // The rest of the bundle is the argument; the word holds no expansion (see above).
            Word attached{std::string(text.substr(p + 1))};
            const Word *arg = &attached;
            if (p + 1 == text.size() && k + 1 < words.size()) {
                arg = &words[++k];
            } else if (p + 1 == text.size()) {
                error = "option " + spelling + " needs an argument";
                return false;
            }
            if (!apply(*option, spelling, arg)) return false;
            break;
        }
    }
    return true;
}

// `url` as curl requests it: its glob escapes resolved and, when it has no scheme, one put in
// front (--proto-default's, or the one curl guesses from the host name, mostly "http").
// False with `error` set for what cannot be sent: a placeholder, a glob, a scheme not HTTP, no
// host.
bool Reader::resolve_url(std::string &url) {
    size_t placeholder = url.find("{{");
    size_t placeholder_end = placeholder == not_found ? not_found : url.find("}}", placeholder);
    if (placeholder_end != not_found) {
        std::string_view name = std::string_view(url).substr(placeholder);
        error = "the URL " + quoted(url) + " holds " +
                quoted(name.substr(0, placeholder_end + 2 - placeholder)) +
                ", a variable of the API client it was copied from; copy the command again " +
                "with the variable's value in place";
        return false;
    }
    if (!globoff_) {
        size_t pattern = not_found;
        std::string plain = unglobbed(url, pattern);
        if (pattern != not_found) {
            error = "the URL " + quoted(url) + " holds " + quoted(url.substr(pattern, 1)) +
                    ", which curl reads as a pattern for several requests; write \\[ \\] \\{ " +
                    "\\} for the characters themselves, or add --globoff";
            return false;
        }
        url = std::move(plain);
    }
    size_t scheme = scheme_length(url);
    if (scheme == 0) {
        std::string guess = default_scheme_.empty() ? "http" : default_scheme_;
        std::string start = ascii_lower(url.substr(0, 5));
        for (const char *name : {"ftp", "dict", "ldap", "imap", "smtp", "pop3"})
            if (default_scheme_.empty() && start.starts_with(std::string(name) + '.')) guess = name;
        url.insert(0, guess + "://");
        scheme = guess.size() + 3;
    }
    std::string name = ascii_lower(url.substr(0, scheme - 3));
    if (name != "http" && name != "https") {
        error = "the URL " + quoted(url) + " is not an http:// or https:// one; only HTTP " +
                "requests can be sent";
        return false;
    }
    if (scheme == url.size() || std::string_view("/?#").find(url[scheme]) != not_found) {
        error = "the URL " + quoted(url) + " has no host";
        return false;
    }
    return true;
}

bool Reader::finish(Request &request) {
    // The URL: exactly one, as a single request is all the command may describe.
    if (urls_.empty() || urls_[0].empty()) {
        error = "the curl command has no URL";
        return false;
    }
    if (urls_.size() > 1) {
        error = "the curl command has more than one URL: " + quoted(urls_[0]) + " and " +
                quoted(urls_[1]);
        return false;
    }
    request.url = std::move(urls_[0]);
    if (!resolve_url(request.url)) return false;

    // -G sends the body as the query string of a GET, ahead of any fragment; the URL is checked
    // with it in place.
    if (get_ && data_) {
        size_t fragment = std::min(request.url.find('#'), request.url.size());
        std::string query(request.url.find('?') < fragment ? "&" : "?");
        request.url.insert(fragment, query + *data_);
        data_.reset();
    }
    if (has_control(request.url, false) || request.url.find(' ') != not_found) {
        error = "the URL " + quoted(request.url) + " holds spaces or control characters, " +
                "which curl refuses; percent-encode them (a space as %20)";
        return false;
    }
    if (head_ && data_) {
        error = "options -I and -d do not go together: a HEAD request carries no body (curl " +
                std::string("refuses the pair too)");
        return false;
    }
    request.method = method_ ? *method_ : head_ ? "HEAD" : data_ ? "POST" : "GET";
    if (request.method.empty() || request.method.find(' ') != not_found ||
        has_control(request.method, false)) {
        error = "the method " + quoted(request.method) + " is not an HTTP method";
        return false;
    }
    request.data = std::move(data_);

    // curl's own headers: --json's content type and accept, and the cookies joined once.
    if (json_) {
        own_header("Content-Type", "application/json");
        own_header("Accept", "application/json");
    }
    if (!cookies_.empty()) own_header("Cookie", std::move(cookies_));
    for (Entry &header : headers_) {
        if (header.removed || (!header.custom && header.header.value.empty())) continue;
        if (has_control(header.header.name, false) || has_control(header.header.value, true)) {
            error = "the header " + quoted(header.header.name) +
                    " holds a line break or another control character";
            return false;
        }
        request.headers.push_back(std::move(header.header));
    }

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

// True when the first word of `text` runs curl.exe, as PowerShell needs (its own "curl" is
// another command in older versions).
bool runs_curl_exe(std::string_view text) {
    size_t start = std::min(text.find_first_not_of(" \t\r\n"), text.size());
    size_t end = std::min(text.find_first_of(" \t\r\n", start), text.size());
    std::string_view word = text.substr(start, end - start);
    if (word.size() > 1 && (word[0] == '"' || word[0] == '\'') && word.back() == word[0])
        word = word.substr(1, word.size() - 2);
    return is_curl(word) && ascii_lower(word).ends_with(".exe");
}

} // namespace

ParseResult parse_command(std::string_view text) {
    ParseResult result;

    // The words and standard input, in the syntax of the shell the command was copied for:
    // PowerShell when it runs curl.exe or continues lines with '`', cmd when '^' escapes.
    CommandLine line(runs_curl_exe(text) ? Dialect::powershell : Dialect::posix);
    Split split = ShellSplitter(text, line, result.error).run();
    if (split == Split::powershell) {
        line = CommandLine(Dialect::powershell);
        split = ShellSplitter(text, line, result.error).run();
    }
    if (split == Split::windows) {
        line = CommandLine(Dialect::cmd);
        if (!split_windows(text, line, result.error)) return result;
    } else if (split == Split::failed) {
        return result;
    }
    if (line.words.empty()) {
        result.error = "not a curl command: the text is empty";
        return result;
    }
    if (!is_curl(line.words[0].text)) {
        result.error = "not a curl command: it starts with " + quoted(line.words[0].text);
        return result;
    }

    // The request the options describe.
    Reader reader(text, line);
    if (!reader.read(result.request)) {
        result.error = std::move(reader.error);
        result.request = {};
    }
    return result;
}

} // namespace glimet::curl
