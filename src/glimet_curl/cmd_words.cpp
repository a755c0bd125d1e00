// The word splitter for Windows cmd: cmd.exe's own pass over the line (variables, '^' escapes,
// line ends, '&' and '|'), then the Microsoft C runtime's split into a program's arguments.
#include "glimet_curl/words.hpp"

#include <utility>

namespace glimet::curl {
namespace {

// The variables every Windows session defines, and cmd's own dynamic ones, in upper case. At
// the prompt cmd replaces %NAME% of a defined variable and keeps any other as typed.
constexpr std::string_view windows_variables[] = {
    "ALLUSERSPROFILE", "APPDATA", "CD", "CMDCMDLINE", "CMDEXTVERSION", "COMMONPROGRAMFILES",
    "COMMONPROGRAMFILES(X86)", "COMMONPROGRAMW6432", "COMPUTERNAME", "COMSPEC", "DATE",
    "DRIVERDATA", "ERRORLEVEL", "HIGHESTNUMANODENUMBER", "HOMEDRIVE", "HOMEPATH", "LOCALAPPDATA",
    "LOGONSERVER", "NUMBER_OF_PROCESSORS", "ONEDRIVE", "OS", "PATH", "PATHEXT",
    "PROCESSOR_ARCHITECTURE", "PROCESSOR_IDENTIFIER", "PROCESSOR_LEVEL", "PROCESSOR_REVISION",
    "PROGRAMDATA", "PROGRAMFILES", "PROGRAMFILES(X86)", "PROGRAMW6432", "PROMPT", "PSMODULEPATH",
    "PUBLIC", "RANDOM", "SESSIONNAME", "SYSTEMDRIVE", "SYSTEMROOT", "TEMP", "TIME", "TMP",
    "USERDOMAIN", "USERDOMAIN_ROAMINGPROFILE", "USERNAME", "USERPROFILE", "WINDIR",
    "__APPDIR__", "__CD__"};

bool is_windows_variable(std::string_view name) {
    for (std::string_view known : windows_variables)
        if (equal_ignoring_case(name, known)) return true;
    return false;
}

// Where cmd replaces a variable in `text`, before anything else it does to the line: the spans
// of %NAME% (or %NAME:...% with a substring or substitution) for names Windows defines. An
// undefined name stays, and its closing '%' may open the next one, as %E4%B8%AD shows.
std::vector<std::pair<size_t, size_t>> variable_spans(std::string_view text) {
    std::vector<std::pair<size_t, size_t>> spans;
    size_t i = text.find('%');
    while (i != not_found) {
        size_t close = text.find_first_of("%\n", i + 1);
        if (close == not_found) break;
        if (text[close] == '\n') {
            i = text.find('%', close);
            continue;
        }
        std::string_view name = text.substr(i + 1, close - i - 1);
        if (is_windows_variable(name.substr(0, name.find(':')))) {
            spans.emplace_back(i, close + 1);
            i = text.find('%', close + 1);
        } else {
            i = close;
        }
    }
    return spans;
}

} // namespace

// cmd drops carriage returns, removes '^' escapes outside its own double quotes and joins lines
// that end in '^' (the first character of the next line taken literally, so "^" LF LF is one
// line break); a line break it does not join ends the command. The runtime then splits at
// blanks outside "...", where 2n backslashes before a quote give n and 2n+1 give n and a
// literal quote, and "" inside quotes is a literal quote. One departure: browsers writing this
// syntax double every backslash, although the runtime halves only those before a quote, so
// elsewhere a pair is read as one backslash too; the text the browser sent comes back
// unchanged, and a single backslash still stands for itself. An unescaped '|' outside cmd's
// quotes sends curl's output to another command, whose words are dropped; an '&' would run
// another command, and is refused. A variable Windows defines is kept as written and marked on
// its word, like an expansion in bash.
bool split_cmd(std::string_view text, CommandLine &command, std::string &error) {
    // The command line as cmd hands it to the program, with where each variable stands in it
    // and in the text.
    std::vector<std::pair<size_t, size_t>> spans = variable_spans(text);
    std::vector<std::pair<size_t, size_t>> variables;
    size_t span = 0;
    std::string line;
    auto at_variable = [&](size_t i) { return span < spans.size() && spans[span].first == i; };
    auto copy_variable = [&](size_t i) {
        variables.emplace_back(line.size(), i);
        line.append(text, i, spans[span].second - i);
        return spans[span++].second - 1;
    };
    bool cmd_quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (at_variable(i)) {
            i = copy_variable(i);
        } else if (c == '\r') {
            continue;
        } else if (c == '"') {
            cmd_quoted = !cmd_quoted;
            line += c;
        } else if (cmd_quoted) {
            line += c;
        } else if (c == '\n' && line.find_first_not_of(" \t") == not_found) {
            line += ' '; // blank lines before the command
        } else if (c == '\n') {
            size_t rest = text.find_first_not_of(" \t\r\n", i);
            if (rest != not_found)
                command.ended_early = "cmd ends the curl command at line " +
                                      std::to_string(line_of(text, i)) + ", which does not end " +
                                      "in '^', and would run line " +
                                      std::to_string(line_of(text, rest)) + " (" +
                                      quoted(line_at(text, rest)) + ") as another command: end " +
                                      "each line of the command but the last with '^'";
            break;
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
            if (at_variable(next))
                next = copy_variable(next);
            else if (next < text.size())
                line += text[next];
            i = next;
        } else {
            line += c;
        }
    }

    // The runtime's split into arguments.
    Word word;
    size_t variable = 0;
    bool in_word = false, quoted_part = false;
    auto end_word = [&] {
        command.words.push_back(std::exchange(word, Word{}));
        in_word = false;
    };
    for (size_t i = 0; i < line.size();) {
        char c = line[i];
        if (!quoted_part && (c == ' ' || c == '\t')) {
            if (in_word) end_word();
            ++i;
            continue;
        }
        in_word = true;
        if (variable < variables.size() && variables[variable].first == i) {
            if (word.expansion == not_found) word.expansion = variables[variable].second;
            ++variable;
        }
        if (c == '\\') {
            size_t run = line.find_first_not_of('\\', i);
            run = (run == not_found ? line.size() : run) - i;
            bool before_quote = i + run < line.size() && line[i + run] == '"';
            word.text.append(before_quote ? run / 2 : run / 2 + run % 2, '\\');
            i += run;
            if (before_quote && run % 2 == 1) word.text += '"', ++i;
        } else if (c == '"') {
            if (quoted_part && i + 1 < line.size() && line[i + 1] == '"') {
                word.text += '"';
                i += 2;
            } else {
                quoted_part = !quoted_part;
                ++i;
            }
        } else {
            word.text += c;
            ++i;
        }
    }
    if (quoted_part) {
        error = "unterminated double quote in the curl command";
        return false;
    }
    if (in_word) end_word();
    return true;
}

} // namespace glimet::curl
