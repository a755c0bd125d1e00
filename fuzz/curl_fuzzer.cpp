// libFuzzer target for the curl command reader: any bytes in, no crash, and a result that is
// either a refusal with a clean one-line reason or a request that the Python side can turn into
// values as it is: an http or https URL and a method, every string UTF-8, no control characters
// (nor spaces in the URL) where a request line or header would carry them, a host and port curl
// can read, one header per name, and delivery options among those reported, each once.
// `make fuzz-curl` builds and runs it; by hand, from the repository root:
// clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc fuzz/curl_fuzzer.cpp
// src/glimet_curl/*.cpp -o fuzz/out/curl_fuzzer (glimet_curl.cpp left out)
#include "glimet_curl/curl_core.hpp"
#include "support/url_authority.hpp"

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

namespace {

void check(bool holds) {
    if (!holds) std::abort();
}

// Well-formed UTF-8, written out independently of the reader's own check.
bool is_utf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        auto lead = static_cast<unsigned char>(text[i]);
        size_t length = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3
                                                      : lead < 0xF5 ? 4 : 0;
        if (length == 0 || length > text.size() - i) return false;
        uint32_t code = length == 1 ? lead : lead & (0xFFu >> (length + 1));
        for (size_t k = 1; k < length; ++k) {
            auto byte = static_cast<unsigned char>(text[i + k]);
            if ((byte & 0xC0) != 0x80) return false;
            code = code << 6 | (byte & 0x3Fu);
        }
        static constexpr uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

bool has_control(std::string_view text, bool allow_tab) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && !(allow_tab && c == '\t')) || byte == 0x7F) return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string_view text(reinterpret_cast<const char *>(data), size);
    glimet::curl::ParseResult result = glimet::curl::parse_command(text);
    const glimet::curl::Request &request = result.request;
    if (!result.error.empty()) {
        check(is_utf8(result.error) && !has_control(result.error, false));
        check(request.url.empty() && request.method.empty() && request.headers.empty() &&
              !request.data && request.delivery.empty());
        return 0;
    }
    check(is_utf8(request.url) && !has_control(request.url, false) &&
          request.url.find(' ') == std::string::npos);
    std::string scheme = request.url.substr(0, request.url.find("://"));
    for (char &c : scheme)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    check((scheme == "http" || scheme == "https") && request.url.size() > scheme.size() + 3);
    glimet::UrlAuthority authority;
    check(glimet::read_url_authority(request.url, authority) && authority.scheme_length > 0);
    check(!request.method.empty() && is_utf8(request.method) &&
          !has_control(request.method, false) && request.method.find(' ') == std::string::npos);
    check(!request.data || is_utf8(*request.data));
    std::set<std::string> names;
    for (const glimet::curl::Header &header : request.headers) {
        check(!header.name.empty() && is_utf8(header.name) && !has_control(header.name, false));
        check(is_utf8(header.value) && !has_control(header.value, true));
        std::string lower = header.name;
        for (char &c : lower)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        check(names.insert(lower).second);
    }
    static const std::set<std::string> switches = {"--insecure", "--location"};
    static const std::set<std::string> texts = {"--cacert",  "--capath",          "--proxy",
                                                "--noproxy", "--max-time",        "--request",
                                                "--connect-timeout"};
    std::set<std::string> options;
    for (const glimet::curl::Delivery &option : request.delivery) {
        check(options.insert(option.option).second);
        check(option.argument ? texts.contains(option.option) && is_utf8(*option.argument)
                              : switches.contains(option.option));
        if (option.option == "--request") check(*option.argument == request.method);
    }
    return 0;
}
