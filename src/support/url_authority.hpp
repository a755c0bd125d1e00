// The authority of a URL (host and port), read without Python or allocation: for the curl
// reader's checks of the URL it sends and for the review's check of the host a command names.
#pragma once

#include <cstddef>
#include <string_view>

namespace glimet {

// Why a URL's authority could not be read.
enum class AuthorityFault {
    none,
    no_host,          // nothing between "//" (or the start, or the userinfo's '@') and the port
    unclosed_bracket, // a host that starts with '[' has no ']'
    after_bracket,    // something other than ':' and a port follows the ']'
    port,             // the port holds something other than digits
};

// The parts of a URL's authority, as views into the URL read.
struct UrlAuthority {
    size_t scheme_length = 0; // of the "scheme://" the URL starts with; 0 when there is none
    std::string_view host;    // as written (no case folding), userinfo dropped, IPv6 without []
    std::string_view port;    // the text after the host's ':', only digits; empty without one
    bool bracketed = false;   // the host was written in [], as IPv6 addresses are
    size_t end = 0;           // index past the authority: of its '/', '?', '#' or the URL's end
    AuthorityFault fault = AuthorityFault::none;
};

// Reads the authority of `url`, written with or without a scheme: "https://u:p@[::1]:8443/x"
// gives host "::1", bracketed, port "8443"; "h:8080/p" gives host "h", port "8080". A scheme
// is a letter, then letters, digits, '+', '-' or '.', then "://"; without one the authority
// starts the URL. It ends at the first '/', '?' or '#'; the userinfo is what comes before its
// last '@'. The host is not checked beyond being there: "[]"'s empty host is a fault, a host
// of any other characters is not, nor is a port's value. True when `out.fault` is none; on a
// fault `out.scheme_length` still holds, and its views are not to be used.
inline bool read_url_authority(std::string_view url, UrlAuthority &out) noexcept {
    constexpr size_t npos = std::string_view::npos;
    auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    out = UrlAuthority{};

    // The scheme, when the URL has one.
    size_t n = 0;
    while (n < url.size() &&
           (letter(url[n]) || digit(url[n]) || url[n] == '+' || url[n] == '-' || url[n] == '.'))
        ++n;
    if (n > 0 && letter(url[0]) && url.substr(n, 3) == "://") out.scheme_length = n + 3;

    // The authority, past any userinfo.
    size_t start = out.scheme_length;
    out.end = url.find_first_of("/?#", start);
    if (out.end == npos) out.end = url.size();
    std::string_view authority = url.substr(start, out.end - start);
    if (size_t at = authority.rfind('@'); at != npos) authority.remove_prefix(at + 1);

    // The host, then what follows it: nothing, or ':' and the port.
    if (authority.starts_with('[')) {
        size_t close = authority.find(']');
        if (close == npos) {
            out.fault = AuthorityFault::unclosed_bracket;
            return false;
        }
        out.host = authority.substr(1, close - 1);
        out.bracketed = true;
        authority.remove_prefix(close + 1);
        if (!authority.empty() && authority[0] != ':') {
            out.fault = AuthorityFault::after_bracket;
            return false;
        }
    } else {
        out.host = authority.substr(0, authority.find(':'));
        authority.remove_prefix(out.host.size());
    }
    if (!authority.empty()) out.port = authority.substr(1);
    if (out.host.empty())
        out.fault = AuthorityFault::no_host;
    else if (out.port.find_first_not_of("0123456789") != npos)
        out.fault = AuthorityFault::port;
    return out.fault == AuthorityFault::none;
}

} // namespace glimet
