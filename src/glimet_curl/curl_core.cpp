// The curl command reader: tells which shell a pasted command was written for, has its words
// split as that shell would (posix_words.cpp, powershell_words.cpp, cmd_words.cpp), then reads
// curl's options (options.cpp) into the request they describe (reader.cpp).
#include "glimet_curl/curl_core.hpp"

#include "glimet_curl/reader.hpp"
#include "glimet_curl/words.hpp"

#include <algorithm>

namespace glimet::curl {
namespace {

// The browsers' other "Copy as" forms, which are not curl: when `text` is one, its name.
const char *foreign_paste(std::string_view text) {
    size_t start = std::min(text.find_first_not_of(" \t\r\n"), text.size());
    std::string_view rest = text.substr(start);
    size_t end = std::min(rest.find_first_of(" \t\r\n("), rest.size());
    std::string first = ascii_lower(rest.substr(0, end));
    // "Copy as fetch", for the browser or for Node.js: fetch("https://...", {...}).
    if (first == "await") {
        rest.remove_prefix(end);
        rest.remove_prefix(std::min(rest.find_first_not_of(" \t\r\n"), rest.size()));
        end = std::min(rest.find_first_of(" \t\r\n("), rest.size());
        first = ascii_lower(rest.substr(0, end));
    }
    std::string_view after = rest.substr(end);
    after.remove_prefix(std::min(after.find_first_not_of(" \t"), after.size()));
    if (first == "fetch" && after.starts_with('(')) return "\"Copy as fetch\"";
    // "Copy as PowerShell": Invoke-WebRequest, after the lines that set up its web session.
    bool session = first.starts_with('$') &&
                   ascii_lower(rest.substr(0, rest.find('\n'))).find("webrequestsession") !=
                       not_found;
    if (session || first == "invoke-webrequest" || first == "iwr" ||
        first == "invoke-restmethod" || first == "irm")
        return "\"Copy as PowerShell\" (Invoke-WebRequest)";
    return nullptr;
}

} // namespace

bool is_curl(std::string_view word) {
    size_t slash = word.find_last_of("/\\");
    if (slash != not_found) word.remove_prefix(slash + 1);
    std::string name = ascii_lower(word);
    return name == "curl" || name == "curl.exe";
}

ParseResult parse_command(std::string_view text) {
    ParseResult result;
    if (const char *form = foreign_paste(text)) {
        result.error = "this is a " + std::string(form) + " paste, not a curl command: use " +
                       "Copy as cURL (bash or cmd)";
        return result;
    }

    // The words and standard input, in the syntax of the shell the command was copied for:
    // PowerShell when it runs curl.exe or writes PowerShell's escapes, cmd when '^' escapes.
    CommandLine line(runs_curl_exe(text) ? Dialect::powershell : Dialect::posix);
    Split split = split_shell(text, line, result.error);
    if (split == Split::powershell) {
        line = CommandLine(Dialect::powershell);
        split = split_shell(text, line, result.error);
    }
    if (split == Split::windows) {
        line = CommandLine(Dialect::cmd);
        if (!split_cmd(text, line, result.error)) return result;
    } else if (split == Split::failed) {
        return result;
    }

    // "command curl" runs curl as "curl" does.
    if (line.words.size() > 1 && line.words[0].text == "command" &&
        line.words[0].expansion == not_found)
        line.words.erase(line.words.begin());
    if (line.words.empty()) {
        result.error = "not a curl command: the text is empty";
        return result;
    }
    if (!is_curl(line.words[0].text)) {
        result.error = "not a curl command: it starts with " + quoted(line.words[0].text);
        return result;
    }
    if (!line.ended_early.empty()) {
        result.error = std::move(line.ended_early);
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
