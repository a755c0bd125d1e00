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

// An option read that changes how curl delivers the request but goes into no header and no
// body (--insecure, --proxy, --max-time and the like): its long name with the dashes, and its
// argument, or none for a switch left on.
struct Delivery {
    std::string option;
    std::optional<std::string> argument;
};

// The request a curl command describes. Every string is valid UTF-8.
struct Request {
    std::string url;
    std::string method;
    // In the order curl sends them, one entry per name (compared without case): curl's own
    // (Authorization, Range, User-Agent, Referer, Cookie), then those of -H in command order,
    // then --json's. curl's defaults (Host, Accept: */*, its User-Agent, Content-Length and
    // the form Content-Type of -d) are left to the HTTP client.
    std::vector<Header> headers;
    std::optional<std::string> data; // the body; absent when the command sends none
    std::vector<Delivery> delivery;  // in the order the options were first read
};

// What reading a command gives: `error` is empty on success; otherwise it says in one sentence
// why the text was refused, and `request` holds nothing of use.
struct ParseResult {
    Request request;
    std::string error;
};

// Reads `text`, a curl command line as browsers and API clients copy it, written for bash,
// PowerShell or Windows cmd, as curl 7.88.1 reads it. Throws nothing but std::bad_alloc.
ParseResult parse_command(std::string_view text);

} // namespace glimet::curl
