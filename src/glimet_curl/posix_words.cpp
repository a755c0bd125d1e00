// The word splitter for bash, which PowerShell's shares: the two quote and escape differently
// (PowerShell's own pieces are in powershell_words.cpp), but split words, comment, redirect and
// end commands alike.
#include "glimet_curl/words.hpp"

#include <algorithm>
#include <utility>

namespace glimet::curl {
namespace {

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
            append_character(word, code);
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

// Splits `text` into curl's arguments and standard input as bash or PowerShell would, without
// expanding anything: blanks separate words, quotes and escapes are removed, '#' starting a word
// comments out the rest of the line and continuations join lines. A line break that no
// continuation joins ends the command: text that follows, blanks and comments aside, would run
// as another command, which is noted on the line, and is not read. An expansion is kept as
// written and marked on its word, for the reader to refuse where the word matters. A '|' hands
// curl's output to another command, whose words are dropped; here-documents, here-strings and
// "< file" give standard input; output redirections go. Other control operators would run more
// than curl and are refused. Returns Split::windows at the first '^' outside quotes (only cmd
// puts one there) and, reading bash, Split::powershell at a '`' that ends a line or stands
// before a '"', which only PowerShell writes.
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
    bool powershell_only() {
        powershell_ = true;
        return false;
    }
    void add(char c, bool in_quotes);
    void start_word();
    bool end_word();
    void bare(char c);
    void escaped();
    bool single_quoted();
    bool double_quoted();
    bool expansion(bool in_quotes);
    bool control_operator();
    bool redirection();
    bool pending_target();
    bool here_documents();
    bool line_end();
    void note_rest(size_t end, size_t rest);

    std::string_view text_;
    bool posix_;
    CommandLine &line_;
    std::string &error_;
    size_t i_ = 0;
    bool powershell_ = false; // reading bash, the text turned out to be PowerShell's
    bool finished_ = false;   // a line break ended the command
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
    bool pipe_open_ = false; // a '|' with no command after it yet: the line goes on
    bool started_ = false;   // a word of the command has been read
    size_t comment_ = not_found; // where the last comment started
    size_t inputs_ = 0;
    std::vector<HereDocument> here_documents_;
};

Split ShellSplitter::run() {
    while (i_ < text_.size() && !finished_) {
        char c = text_[i_];
        char next = i_ + 1 < text_.size() ? text_[i_ + 1] : '\0';
        bool ok = true;
        if (c == '\n') {
            ok = line_end();
        } else if (c == ' ' || c == '\t' || c == '\r') {
            ok = end_word();
            ++i_;
        } else if (c == '^') {
            return Split::windows;
        } else if (c == '#' && !in_word_) {
            comment_ = i_;
            while (i_ < text_.size() && text_[i_] != '\n') ++i_;
        } else if (c == '`' && posix_ &&
                   (next == '"' || continuation_end(text_, i_ + 1) != not_found)) {
            // bash would start a command's output here; no command copied for bash does that.
            return Split::powershell;
        } else if (c == '`' && continuation_end(text_, i_ + 1) != not_found) {
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
        if (!ok) return powershell_ ? Split::powershell : Split::failed;
    }
    if (finished_) return Split::done;
    if (!end_word() || !pending_target()) return Split::failed;
    if (!here_documents_.empty()) {
        const std::string &delimiter = here_documents_.front().delimiter;
        fail("the here-document " + quoted(delimiter) + " has no text: its lines must follow " +
             "the command, up to a line holding only " + quoted(delimiter));
        return Split::failed;
    }
    return Split::done;
}

// At a line break outside quotes that no continuation joins: the end of the command line, once
// the command has started (blank lines and comments before it are passed over) and unless a
// '|' waits for its command. The here-documents the line opened follow; after them, the rest
// of the text must be blanks and comments.
bool ShellSplitter::line_end() {
    size_t end = i_;
    if (!end_word()) return false;
    ++i_;
    if (!started_) return true;
    if (!pending_target() || !here_documents()) return false;
    if (pipe_open_) return true;
    finished_ = true;
    size_t rest = i_;
    while (rest < text_.size()) {
        char c = text_[rest];
        if (c == '#') {
            while (rest < text_.size() && text_[rest] != '\n') ++rest;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++rest;
        } else {
            note_rest(end, rest);
            break;
        }
    }
    return true;
}

// Notes on the command line why the shell ends the command at the line break text_[end] and
// would run the text at `rest` as another command.
void ShellSplitter::note_rest(size_t end, size_t rest) {
    std::string shell = posix_ ? "bash" : "PowerShell";
    std::string joiner = posix_ ? "'\\'" : "'`'";
    size_t start = end == 0 ? not_found : text_.rfind('\n', end - 1);
    start = start == not_found ? 0 : start + 1;
    std::string_view ending = text_.substr(start, end - start);
    if (ending.ends_with('\r')) ending.remove_suffix(1);
    std::string_view kept = ending.substr(0, ending.find_last_not_of(" \t") + 1);
    bool commented = comment_ != not_found && comment_ >= start && comment_ < end;
    std::string why, fix;
    if (trimmed(ending).empty()) {
        why = "which is blank", fix = "remove the blank line";
    } else if (commented && trimmed(ending).starts_with('#')) {
        why = "which is commented out (a " + joiner + " at the end of a comment does not " +
              "join lines)";
        fix = "remove the commented-out line";
    } else if (commented) {
        why = "which ends in a comment (a " + joiner + " inside it does not join lines)";
        fix = "remove the comment";
    } else if (posix_ && kept.ends_with('\\') && kept.size() < ending.size()) {
        why = "which ends in a '\\' with a blank after it, so the '\\' does not join the lines";
        fix = "remove the blank after the '\\'";
    } else {
        why = "which does not end in " + joiner;
        fix = "end each line of the command but the last with " + joiner;
    }
    line_.ended_early = shell + " ends the curl command at line " +
                        std::to_string(line_of(text_, end)) + ", " + why + ", and would run " +
                        "line " + std::to_string(line_of(text_, rest)) + " (" +
                        quoted(line_at(text_, rest)) + ") as another command: " + fix;
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
    started_ = true;
    pipe_open_ = false;
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
        } else if (c == '`' && posix_ && next == '"') {
            return powershell_only();
        } else if (c == '`' && !posix_) {
            i_ = read_powershell_escape(text_, i_, word_);
        } else if (c == '$' || c == '`') {
            if (!expansion(true)) return false;
        } else {
            add(c, true);
            ++i_;
        }
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
        piped_ = started_ = true;
        pipe_open_ = op == "|" || op == "|&";
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
    started_ = true;
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

} // namespace

bool starts_expansion(std::string_view text, size_t i, Dialect dialect) {
    bool posix = dialect == Dialect::posix;
    if (text[i] == '`') return posix;
    if (text[i] != '$' || i + 1 == text.size()) return false;
    char next = text[i + 1];
    std::string_view special = posix ? "({[@*#?-$!0123456789" : "({?^$0123456789";
    return is_name_start(next) || special.find(next) != not_found;
}

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
    if (c == '%') {
        end = text.find('%', at + 1) + 1; // there is one: it closed the variable's name
        what = "the value of a variable";
    } else if (c == '~') {
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

Split split_shell(std::string_view text, CommandLine &line, std::string &error) {
    return ShellSplitter(text, line, error).run();
}

} // namespace glimet::curl
