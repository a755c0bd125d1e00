// The word splitters of the curl command reader: what the shell a command was written for
// (bash, PowerShell or Windows cmd) hands to curl as its arguments and standard input.
#pragma once

#include "glimet_curl/text.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace glimet::curl {

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
    // Set when the shell ends the command before the text ends, so that what follows would run
    // as another command: why, naming the lines.
    std::string ended_early;

    explicit CommandLine(Dialect shell) : dialect(shell) {}
};

enum class Split { done, failed, windows, powershell };

// Splits `text` as bash (line.dialect posix) or PowerShell would, into `line`. Returns
// Split::windows where only cmd's syntax fits and, reading bash, Split::powershell where only
// PowerShell's does; Split::failed with `error` set for text the shell would refuse or run as
// more than curl.
Split split_shell(std::string_view text, CommandLine &line, std::string &error);

// Splits `text` as cmd.exe and then the Microsoft C runtime do; false with `error` set.
bool split_cmd(std::string_view text, CommandLine &line, std::string &error);

// True when the shell of `dialect` expands what starts at text[i]: '$' before a name, a special
// parameter or a bracket, or in bash a '`'. Anything else, '$' included, stands for itself.
bool starts_expansion(std::string_view text, size_t i, Dialect dialect);
// End of the expansion that starts at text[i] (see starts_expansion), not_found when it is
// never closed.
size_t expansion_end(std::string_view text, size_t i, Dialect dialect);
// Why the expansion at text[at] (a Word's or the input's) cannot be honoured, naming it and
// its line.
std::string expansion_error(std::string_view text, size_t at, Dialect dialect);

// PowerShell's own syntax, used by split_shell.
//
// Reads the '`' escape at text[i] inside "..." onto `out`; returns the index past it.
size_t read_powershell_escape(std::string_view text, size_t i, std::string &out);
// When the '`' before text[i] ends its line, blanks aside, as PowerShell's continuations do:
// the index past the line break (or the end of the text); not_found otherwise.
size_t continuation_end(std::string_view text, size_t i);
// True when the first word of `text` runs curl.exe, which only PowerShell needs to name so.
bool runs_curl_exe(std::string_view text);

// True when `word`, the first word of the command, runs curl: "curl" or "curl.exe", with or
// without a directory in front.
bool is_curl(std::string_view word);

} // namespace glimet::curl
