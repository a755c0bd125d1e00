// The curl command reader: text in, request out, no Python involved. Kept free of the
// interpreter so that it can be fuzzed and tested on its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace glimet::curl {

struct Header {
    std::string name;
    std::string value;
};

// The request a curl command describes. Every string is valid UTF-8.
struct Request {
    std::string url;
    std::string method;
    std::vector<Header> headers;     // command order, one entry per name (compared without case)
    std::optional<std::string> data; // the body; absent when the command sends none
};

// What reading a command gives: `error` is empty on success; otherwise it says in one sentence
// why the text was refused, and `request` holds nothing of use.
struct ParseResult {
    Request request;
    std::string error;
};

// Reads `text`, a curl command line as browsers and API clients copy it, written for a POSIX
// shell (bash quoting included) or for Windows cmd. Throws nothing but std::bad_alloc.
ParseResult parse_command(std::string_view text);

} // namespace glimet::curl
