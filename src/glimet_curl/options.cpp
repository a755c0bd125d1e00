// The option table (see options.hpp), modelled on curl 7.88.1's own: every long option that
// curl knows, so that an abbreviation finds what it finds in curl, with the argument curl's
// table gives it. A new option is one row here, and its handler in the reader when none of
// ignore, refuse and deliver fits.
#include "glimet_curl/options.hpp"

#include "glimet_curl/reader.hpp"
#include "glimet_curl/text.hpp"

#include <algorithm>
#include <array>

namespace glimet::curl {
namespace {

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
constexpr const char *srp_reason =
    "signs in with TLS-SRP, which this reader cannot do; copy a request that signs in with a "
    "header or cookie";
constexpr const char *address_reason =
    "sends the request to another address than the URL's host; leave it out if the host's own "
    "address will do";
constexpr const char *netrc_reason =
    "takes the user name and password from a .netrc file; give them with -u instead";
constexpr const char *stop_reason =
    "makes curl print its own text and stop instead of sending the request; leave it out";

// Sorted by name, as find_long's binary search needs (checked below). Options that only change
// how curl connects, what it prints or saves, or what it does for protocols other than HTTP go
// to ignore.
constexpr Option options[] = {
    {"abstract-unix-socket", 0, Argument::file, &Reader::refuse, address_reason},
    {"alpn", 0, Argument::boolean, &Reader::ignore},
    {"alt-svc", 0, Argument::string, &Reader::ignore},
    {"anyauth", 0, Argument::boolean, &Reader::refuse, exchange_reason},
    {"append", 'a', Argument::boolean, &Reader::ignore},
    {"aws-sigv4", 0, Argument::string, &Reader::refuse, exchange_reason},
    {"basic", 0, Argument::boolean, &Reader::ignore},
    {"buffer", 'N', Argument::boolean, &Reader::ignore},
    {"cacert", 0, Argument::file, &Reader::deliver},
    {"capath", 0, Argument::file, &Reader::deliver},
    {"cert", 'E', Argument::file, &Reader::refuse, certificate_reason},
    {"cert-status", 0, Argument::boolean, &Reader::ignore},
    {"cert-type", 0, Argument::string, &Reader::refuse, certificate_reason},
    {"ciphers", 0, Argument::string, &Reader::ignore},
    {"clobber", 0, Argument::boolean, &Reader::ignore},
    {"compressed", 0, Argument::boolean, &Reader::ignore},
    {"compressed-ssh", 0, Argument::boolean, &Reader::ignore},
    {"config", 'K', Argument::file, &Reader::refuse,
     "reads further options from a file; paste them into the command instead"},
    {"connect-timeout", 0, Argument::string, &Reader::deliver},
    {"connect-to", 0, Argument::string, &Reader::refuse, address_reason},
    {"continue-at", 'C', Argument::string, &Reader::refuse,
     "resumes a transfer at an offset; write the Range header with -H instead"},
    {"cookie", 'b', Argument::string, &Reader::cookie},
    {"cookie-jar", 'c', Argument::string, &Reader::ignore},
    {"create-dirs", 0, Argument::boolean, &Reader::ignore},
    {"create-file-mode", 0, Argument::string, &Reader::ignore},
    {"crlf", 0, Argument::boolean, &Reader::ignore},
    {"crlfile", 0, Argument::file, &Reader::ignore},
    {"curves", 0, Argument::string, &Reader::ignore},
    {"data", 'd', Argument::string, &Reader::data},
    {"data-ascii", 0, Argument::string, &Reader::data},
    {"data-binary", 0, Argument::string, &Reader::data_binary},
    {"data-raw", 0, Argument::string, &Reader::data_raw},
    {"data-urlencode", 0, Argument::string, &Reader::data_urlencode},
    {"delegation", 0, Argument::string, &Reader::refuse, exchange_reason},
    {"digest", 0, Argument::boolean, &Reader::refuse, exchange_reason},
    {"disable", 'q', Argument::boolean, &Reader::ignore},
    {"disable-eprt", 0, Argument::boolean, &Reader::ignore},
    {"disable-epsv", 0, Argument::boolean, &Reader::ignore},
    {"disallow-username-in-url", 0, Argument::boolean, &Reader::ignore},
    {"dns-interface", 0, Argument::string, &Reader::ignore},
    {"dns-ipv4-addr", 0, Argument::string, &Reader::ignore},
    {"dns-ipv6-addr", 0, Argument::string, &Reader::ignore},
    {"dns-servers", 0, Argument::string, &Reader::ignore},
    {"doh-cert-status", 0, Argument::boolean, &Reader::ignore},
    {"doh-insecure", 0, Argument::boolean, &Reader::ignore},
    {"dump-header", 'D', Argument::file, &Reader::ignore},
    {"egd-file", 0, Argument::string, &Reader::ignore},
    {"engine", 0, Argument::string, &Reader::ignore},
    {"eprt", 0, Argument::boolean, &Reader::ignore},
    {"epsv", 0, Argument::boolean, &Reader::ignore},
    {"etag-compare", 0, Argument::file, &Reader::refuse,
     "reads an ETag from a file; write the If-None-Match header with -H instead"},
    {"etag-save", 0, Argument::file, &Reader::ignore},
    {"expect100-timeout", 0, Argument::string, &Reader::ignore},
    {"fail", 'f', Argument::boolean, &Reader::ignore},
    {"fail-early", 0, Argument::boolean, &Reader::ignore},
    {"fail-with-body", 0, Argument::boolean, &Reader::ignore},
    {"false-start", 0, Argument::boolean, &Reader::ignore},
    {"form", 'F', Argument::string, &Reader::refuse, form_reason},
    {"form-escape", 0, Argument::boolean, &Reader::ignore},
    {"form-string", 0, Argument::string, &Reader::refuse, form_reason},
    {"ftp-account", 0, Argument::string, &Reader::ignore},
    {"ftp-alternative-to-user", 0, Argument::string, &Reader::ignore},
    {"ftp-create-dirs", 0, Argument::boolean, &Reader::ignore},
    {"ftp-method", 0, Argument::string, &Reader::ignore},
    {"ftp-pasv", 0, Argument::boolean, &Reader::ignore},
    {"ftp-port", 'P', Argument::string, &Reader::ignore},
    {"ftp-pret", 0, Argument::boolean, &Reader::ignore},
    {"ftp-skip-pasv-ip", 0, Argument::boolean, &Reader::ignore},
    {"ftp-ssl", 0, Argument::boolean, &Reader::ignore},
    {"ftp-ssl-ccc", 0, Argument::boolean, &Reader::ignore},
    {"ftp-ssl-ccc-mode", 0, Argument::string, &Reader::ignore},
    {"ftp-ssl-control", 0, Argument::boolean, &Reader::ignore},
    {"ftp-ssl-reqd", 0, Argument::boolean, &Reader::ignore},
    {"get", 'G', Argument::boolean, &Reader::get},
    {"globoff", 'g', Argument::boolean, &Reader::globoff},
    {"happy-eyeballs-timeout-ms", 0, Argument::string, &Reader::ignore},
    {"haproxy-protocol", 0, Argument::boolean, &Reader::ignore},
    {"head", 'I', Argument::boolean, &Reader::head},
    {"header", 'H', Argument::string, &Reader::header},
    {"help", 'h', Argument::boolean, &Reader::refuse, stop_reason},
    {"hostpubmd5", 0, Argument::string, &Reader::ignore},
    {"hostpubsha256", 0, Argument::string, &Reader::ignore},
    {"hsts", 0, Argument::string, &Reader::ignore},
    {"http0.9", 0, Argument::boolean, &Reader::ignore},
    {"http1.0", '0', Argument::none, &Reader::ignore},
    {"http1.1", 0, Argument::none, &Reader::ignore},
    {"http2", 0, Argument::none, &Reader::ignore},
    {"http2-prior-knowledge", 0, Argument::none, &Reader::ignore},
    {"http3", 0, Argument::none, &Reader::ignore},
    {"http3-only", 0, Argument::none, &Reader::ignore},
    {"ignore-content-length", 0, Argument::boolean, &Reader::ignore},
    {"include", 'i', Argument::boolean, &Reader::include},
    {"insecure", 'k', Argument::boolean, &Reader::deliver},
    {"interface", 0, Argument::string, &Reader::ignore},
    {"ipv4", '4', Argument::none, &Reader::ignore},
    {"ipv6", '6', Argument::none, &Reader::ignore},
    {"json", 0, Argument::string, &Reader::json},
    {"junk-session-cookies", 'j', Argument::boolean, &Reader::ignore},
    {"keepalive", 0, Argument::boolean, &Reader::ignore},
    {"keepalive-time", 0, Argument::string, &Reader::ignore},
    {"key", 0, Argument::file, &Reader::refuse, certificate_reason},
    {"key-type", 0, Argument::string, &Reader::refuse, certificate_reason},
    {"krb", 0, Argument::string, &Reader::refuse, exchange_reason},
    {"krb4", 0, Argument::string, &Reader::refuse, exchange_reason},
    {"libcurl", 0, Argument::string, &Reader::ignore},
    {"limit-rate", 0, Argument::string, &Reader::ignore},
    {"list-only", 'l', Argument::boolean, &Reader::ignore},
    {"local-port", 0, Argument::string, &Reader::ignore},
    {"location", 'L', Argument::boolean, &Reader::deliver},
    {"location-trusted", 0, Argument::boolean, &Reader::location_trusted},
    {"login-options", 0, Argument::string, &Reader::ignore},
    {"mail-auth", 0, Argument::string, &Reader::ignore},
    {"mail-from", 0, Argument::string, &Reader::ignore},
    {"mail-rcpt", 0, Argument::string, &Reader::ignore},
    {"mail-rcpt-allowfails", 0, Argument::boolean, &Reader::ignore},
    {"manual", 'M', Argument::boolean, &Reader::refuse, stop_reason},
    {"max-filesize", 0, Argument::string, &Reader::ignore},
    {"max-redirs", 0, Argument::string, &Reader::ignore},
    {"max-time", 'm', Argument::string, &Reader::deliver},
    {"metalink", 0, Argument::boolean, &Reader::ignore},
    {"negotiate", 0, Argument::boolean, &Reader::refuse, exchange_reason},
    {"netrc", 'n', Argument::boolean, &Reader::refuse, netrc_reason},
    {"netrc-file", 0, Argument::file, &Reader::refuse, netrc_reason},
    {"netrc-optional", 0, Argument::boolean, &Reader::refuse, netrc_reason},
    {"next", ':', Argument::none, &Reader::refuse,
     "starts another request in the same command; paste one request at a time"},
    {"noproxy", 0, Argument::string, &Reader::deliver},
    {"npn", 0, Argument::boolean, &Reader::ignore},
    {"ntlm", 0, Argument::boolean, &Reader::refuse, exchange_reason},
    {"ntlm-wb", 0, Argument::boolean, &Reader::refuse, exchange_reason},
    {"oauth2-bearer", 0, Argument::string, &Reader::bearer},
    {"output", 'o', Argument::file, &Reader::ignore},
    {"output-dir", 0, Argument::string, &Reader::ignore},
    {"parallel", 'Z', Argument::boolean, &Reader::ignore},
    {"parallel-immediate", 0, Argument::boolean, &Reader::ignore},
    {"parallel-max", 0, Argument::string, &Reader::ignore},
    {"pass", 0, Argument::string, &Reader::refuse, certificate_reason},
    {"path-as-is", 0, Argument::boolean, &Reader::ignore},
    {"pinnedpubkey", 0, Argument::string, &Reader::ignore},
    {"post301", 0, Argument::boolean, &Reader::ignore},
    {"post302", 0, Argument::boolean, &Reader::ignore},
    {"post303", 0, Argument::boolean, &Reader::ignore},
    {"preproxy", 0, Argument::string, &Reader::ignore},
    {"progress-bar", '#', Argument::boolean, &Reader::ignore},
    {"progress-meter", 0, Argument::boolean, &Reader::ignore},
    {"proto", 0, Argument::string, &Reader::ignore},
    {"proto-default", 0, Argument::string, &Reader::proto_default},
    {"proto-redir", 0, Argument::string, &Reader::ignore},
    {"proxy", 'x', Argument::string, &Reader::deliver},
    {"proxy-anyauth", 0, Argument::boolean, &Reader::ignore},
    {"proxy-basic", 0, Argument::boolean, &Reader::ignore},
    {"proxy-cacert", 0, Argument::file, &Reader::ignore},
    {"proxy-capath", 0, Argument::file, &Reader::ignore},
    {"proxy-cert", 0, Argument::file, &Reader::ignore},
    {"proxy-cert-type", 0, Argument::string, &Reader::ignore},
    {"proxy-ciphers", 0, Argument::string, &Reader::ignore},
    {"proxy-crlfile", 0, Argument::file, &Reader::ignore},
    {"proxy-digest", 0, Argument::boolean, &Reader::ignore},
    {"proxy-header", 0, Argument::string, &Reader::ignore},
    {"proxy-insecure", 0, Argument::boolean, &Reader::ignore},
    {"proxy-key", 0, Argument::file, &Reader::ignore},
    {"proxy-key-type", 0, Argument::string, &Reader::ignore},
    {"proxy-negotiate", 0, Argument::boolean, &Reader::ignore},
    {"proxy-ntlm", 0, Argument::boolean, &Reader::ignore},
    {"proxy-pass", 0, Argument::string, &Reader::ignore},
    {"proxy-pinnedpubkey", 0, Argument::string, &Reader::ignore},
    {"proxy-service-name", 0, Argument::string, &Reader::ignore},
    {"proxy-ssl-allow-beast", 0, Argument::boolean, &Reader::ignore},
    {"proxy-ssl-auto-client-cert", 0, Argument::boolean, &Reader::ignore},
    {"proxy-tls13-ciphers", 0, Argument::string, &Reader::ignore},
    {"proxy-tlsauthtype", 0, Argument::string, &Reader::ignore},
    {"proxy-tlspassword", 0, Argument::string, &Reader::ignore},
    {"proxy-tlsuser", 0, Argument::string, &Reader::ignore},
    {"proxy-tlsv1", 0, Argument::none, &Reader::ignore},
    {"proxy-user", 'U', Argument::string, &Reader::ignore},
    {"proxy1.0", 0, Argument::string, &Reader::ignore},
    {"proxytunnel", 'p', Argument::boolean, &Reader::ignore},
    {"pubkey", 0, Argument::string, &Reader::ignore},
    {"quote", 'Q', Argument::string, &Reader::ignore},
    {"random-file", 0, Argument::file, &Reader::ignore},
    {"range", 'r', Argument::string, &Reader::range},
    {"rate", 0, Argument::string, &Reader::ignore},
    {"raw", 0, Argument::boolean, &Reader::ignore},
    {"referer", 'e', Argument::string, &Reader::referer},
    {"remote-header-name", 'J', Argument::boolean, &Reader::remote_header_name},
    {"remote-name", 'O', Argument::boolean, &Reader::ignore},
    {"remote-name-all", 0, Argument::boolean, &Reader::ignore},
    {"remote-time", 'R', Argument::boolean, &Reader::ignore},
    {"remove-on-error", 0, Argument::boolean, &Reader::ignore},
    {"request", 'X', Argument::string, &Reader::method},
    {"request-target", 0, Argument::string, &Reader::refuse,
     "sends another path than the URL's; write that path into the URL"},
    {"resolve", 0, Argument::string, &Reader::refuse, address_reason},
    {"retry", 0, Argument::string, &Reader::ignore},
    {"retry-all-errors", 0, Argument::boolean, &Reader::ignore},
    {"retry-connrefused", 0, Argument::boolean, &Reader::ignore},
    {"retry-delay", 0, Argument::string, &Reader::ignore},
    {"retry-max-time", 0, Argument::string, &Reader::ignore},
    {"sasl-authzid", 0, Argument::string, &Reader::ignore},
    {"sasl-ir", 0, Argument::boolean, &Reader::ignore},
    {"service-name", 0, Argument::string, &Reader::ignore},
    {"sessionid", 0, Argument::boolean, &Reader::ignore},
    {"show-error", 'S', Argument::boolean, &Reader::ignore},
    {"silent", 's', Argument::boolean, &Reader::ignore},
    {"socks4", 0, Argument::string, &Reader::ignore},
    {"socks4a", 0, Argument::string, &Reader::ignore},
    {"socks5", 0, Argument::string, &Reader::ignore},
    {"socks5-basic", 0, Argument::boolean, &Reader::ignore},
    {"socks5-gssapi", 0, Argument::boolean, &Reader::ignore},
    {"socks5-gssapi-nec", 0, Argument::boolean, &Reader::ignore},
    {"socks5-gssapi-service", 0, Argument::string, &Reader::ignore},
    {"socks5-hostname", 0, Argument::string, &Reader::ignore},
    {"speed-limit", 'Y', Argument::string, &Reader::ignore},
    {"speed-time", 'y', Argument::string, &Reader::ignore},
    {"ssl", 0, Argument::boolean, &Reader::ignore},
    {"ssl-allow-beast", 0, Argument::boolean, &Reader::ignore},
    {"ssl-auto-client-cert", 0, Argument::boolean, &Reader::ignore},
    {"ssl-no-revoke", 0, Argument::boolean, &Reader::ignore},
    {"ssl-reqd", 0, Argument::boolean, &Reader::ignore},
    {"ssl-revoke-best-effort", 0, Argument::boolean, &Reader::ignore},
    {"sslv2", '2', Argument::none, &Reader::ignore},
    {"sslv3", '3', Argument::none, &Reader::ignore},
    {"stderr", 0, Argument::file, &Reader::ignore},
    {"styled-output", 0, Argument::boolean, &Reader::ignore},
    {"suppress-connect-headers", 0, Argument::boolean, &Reader::ignore},
    {"tcp-fastopen", 0, Argument::boolean, &Reader::ignore},
    {"tcp-nodelay", 0, Argument::boolean, &Reader::ignore},
    {"telnet-option", 't', Argument::string, &Reader::ignore},
    {"test-event", 0, Argument::boolean, &Reader::ignore},
    {"tftp-blksize", 0, Argument::string, &Reader::ignore},
    {"tftp-no-options", 0, Argument::boolean, &Reader::ignore},
    {"time-cond", 'z', Argument::string, &Reader::refuse,
     "adds a condition computed from a date or a file's time; write the If-Modified-Since header "
     "with -H instead"},
    {"tls-max", 0, Argument::string, &Reader::ignore},
    {"tls13-ciphers", 0, Argument::string, &Reader::ignore},
    {"tlsauthtype", 0, Argument::string, &Reader::refuse, srp_reason},
    {"tlspassword", 0, Argument::string, &Reader::refuse, srp_reason},
    {"tlsuser", 0, Argument::string, &Reader::refuse, srp_reason},
    {"tlsv1", '1', Argument::none, &Reader::ignore},
    {"tlsv1.0", 0, Argument::none, &Reader::ignore},
    {"tlsv1.1", 0, Argument::none, &Reader::ignore},
    {"tlsv1.2", 0, Argument::none, &Reader::ignore},
    {"tlsv1.3", 0, Argument::none, &Reader::ignore},
    {"tr-encoding", 0, Argument::boolean, &Reader::ignore},
    {"trace", 0, Argument::file, &Reader::ignore},
    {"trace-ascii", 0, Argument::file, &Reader::ignore},
    {"trace-time", 0, Argument::boolean, &Reader::ignore},
    {"unix-socket", 0, Argument::file, &Reader::refuse, address_reason},
    {"upload-file", 'T', Argument::file, &Reader::refuse,
     "uploads a file, which this reader cannot read; paste its content with --data-binary"},
    {"url", 0, Argument::string, &Reader::url},
    {"url-query", 0, Argument::string, &Reader::refuse,
     "adds query parameters, which curl versions encode differently; write them into the URL"},
    {"use-ascii", 'B', Argument::boolean, &Reader::ignore},
    {"user", 'u', Argument::string, &Reader::user},
    {"user-agent", 'A', Argument::string, &Reader::user_agent},
    {"variable", 0, Argument::string, &Reader::refuse,
     "sets variables for curl's --expand- options; write their values into the command"},
    {"verbose", 'v', Argument::boolean, &Reader::ignore},
    {"version", 'V', Argument::boolean, &Reader::refuse, stop_reason},
    {"write-out", 'w', Argument::string, &Reader::ignore},
    {"xattr", 0, Argument::boolean, &Reader::ignore},
};

static_assert(std::ranges::is_sorted(options, {}, &Option::name));

// Row of each short form, by character; -1 for none.
constexpr std::array<int16_t, 128> short_forms = [] {
    std::array<int16_t, 128> rows{};
    rows.fill(-1);
    for (size_t i = 0; i < std::size(options); ++i)
        if (options[i].letter != 0) rows[static_cast<uint8_t>(options[i].letter)] =
            static_cast<int16_t>(i);
    return rows;
}();

// How many of the options an ambiguous abbreviation could be are named in the message.
constexpr size_t named_limit = 6;

} // namespace

LongOption find_long(std::string_view name) {
    LongOption found;
    std::string lower = ascii_lower(name);
    std::string spelling = "--" + std::string(name);
    auto first = [](const Option &option, std::string_view key) { return option.name < key; };

    // "no-" and a switch's whole name turns it off; curl takes no abbreviation there.
    if (lower.starts_with("no-")) {
        std::string_view base = std::string_view(lower).substr(3);
        const Option *row = std::lower_bound(std::begin(options), std::end(options), base, first);
        if (row != std::end(options) && row->name == base) {
            if (row->argument == Argument::boolean) return {row, false, {}};
            found.error = "option " + quoted(spelling) + ": --" + std::string(row->name) +
                          " is not a switch, so it has no --no- form";
            return found;
        }
        found.error = "unknown option " + quoted(spelling) + ": after --no- curl takes only " +
                      "a switch's whole name";
        return found;
    }

    // The name itself, or the options it is the start of.
    const Option *row = std::lower_bound(std::begin(options), std::end(options), lower, first);
    const Option *end = row;
    while (end != std::end(options) && end->name.starts_with(lower)) ++end;
    if (row != end && (row->name == lower || end - row == 1)) return {row, true, {}};
    if (end - row > 1) {
        found.error = "option " + quoted(spelling) + " is ambiguous: it could be ";
        for (const Option *candidate = row; candidate != end; ++candidate) {
            if (candidate - row == static_cast<ptrdiff_t>(named_limit)) {
                found.error += " and " + std::to_string(end - candidate) + " more";
                break;
            }
            found.error += (candidate == row ? "--" : ", --") + std::string(candidate->name);
        }
        found.error += "; write more of its name";
        return found;
    }

    // Every --expand- form reads curl's variables.
    bool plain = lower.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") == not_found;
    if (plain && lower.starts_with("expand-")) return find_long("variable");
    found.error = "unknown option " + quoted(spelling) + ": curl has no such option; check " +
                  "the spelling, or leave it out if it does not change the request";
    return found;
}

const Option *find_short(char letter) {
    auto index = static_cast<uint8_t>(letter);
    if (index >= short_forms.size() || short_forms[index] < 0) return nullptr;
    return &options[short_forms[index]];
}

} // namespace glimet::curl
