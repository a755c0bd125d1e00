// The request reader (see reader.hpp): the options' handlers, and the request they add up to.
#include "glimet_curl/reader.hpp"

#include "support/url_authority.hpp"

#include <algorithm>
#include <utility>

namespace glimet::curl {
namespace {

// A NUL (from an escape such as $'\0') ends a program's argument: the shell cuts it short there.
constexpr const char *nul_reason =
    "the text holds a NUL character, which no shell hands to curl as written; leave it out";

// The largest number curl takes as a range's start.
constexpr uint64_t largest_offset = 9223372036854775807u;

// The URL curl requests for `url` with globbing on: "\[" "\]" "\{" "\}" stand for the
// character, "[]" and a host in brackets stay as they are. `pattern` is set to where any other
// bracket or brace starts a pattern (several requests, or curl's refusal).
std::string unglobbed(std::string_view url, size_t &pattern) {
    static constexpr std::string_view brackets = "[]{}";
    // An IPv6 address in brackets, [::1] or [fe80::1%25eth0], at the start of the authority.
    UrlAuthority authority;
    bool address = read_url_authority(url, authority) && authority.bracketed &&
                   authority.host.find(':') != not_found;
    size_t host_end = 0;
    for (char c : authority.host)
        address = address && (is_name_char(c) || c == ':' || c == '.' || c == '%');
    if (address) {
        auto host_start = static_cast<size_t>(authority.host.data() - url.data());
        host_end = host_start + authority.host.size() + 1; // past the ']'
    }
    std::string out;
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

// `url` with -G's `query` added as curl's URL API adds it: after the query there is, with a
// '&' between unless that query is empty or ends in one; an empty query leaves no '?'.
void append_query(std::string &url, std::string_view query) {
    size_t fragment = std::min(url.find('#'), url.size());
    size_t mark = url.find('?');
    if (mark >= fragment) {
        if (!query.empty()) url.insert(fragment, "?" + std::string(query));
        return;
    }
    std::string_view present = std::string_view(url).substr(mark + 1, fragment - mark - 1);
    if (present.empty() && query.empty())
        url.erase(mark, 1);
    else if (present.empty() || present.ends_with('&'))
        url.insert(fragment, query);
    else
        url.insert(fragment, "&" + std::string(query));
}

} // namespace

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

bool Reader::has_custom(std::string_view name) const {
    return custom_index_.contains(ascii_lower(name));
}

// A header of -H, or with `removed` its "Name:" form. curl sends a header given twice twice; a
// request here carries each name once, so the same value again is taken as one header and
// another value is refused rather than one of them dropped.
bool Reader::custom_header(std::string_view spelling, std::string_view name,
                           std::string_view value, bool removed) {
    auto [position, added] = custom_index_.try_emplace(ascii_lower(name), customs_.size());
    if (added) {
        customs_.push_back({{std::string(name), std::string(value)}, removed});
        return true;
    }
    Custom &custom = customs_[position->second];
    if (removed) return true; // a value given before is still sent
    if (!custom.removed && custom.header.value != value) {
        error = "option " + std::string(spelling) + ": the header " + quoted(name) +
                " is given twice, as " + quoted(custom.header.value) + " and " + quoted(value) +
                "; curl would send both, but a request here carries it once: keep the one meant";
        return false;
    }
    if (custom.removed) custom.header = {std::string(name), std::string(value)};
    custom.removed = false;
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

bool Reader::add_body(const OptionUse &use, bool one_line, bool joined_plain) {
    std::string piece;
    if (!body(use.spelling, use.argument->text, one_line, piece)) return false;
    add_data(piece, joined_plain);
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

// Sets, or with a --no- form removes, the delivery option `name` as `use` gives it.
void Reader::set_delivery(std::string name, const OptionUse &use) {
    auto present = std::find_if(delivery_.begin(), delivery_.end(),
                                [&](const Delivery &option) { return option.option == name; });
    if (!use.enabled) {
        if (present != delivery_.end()) delivery_.erase(present);
        return;
    }
    std::optional<std::string> argument;
    if (use.argument) argument = use.argument->text;
    if (present != delivery_.end())
        present->argument = std::move(argument);
    else
        delivery_.push_back({std::move(name), std::move(argument)});
}

bool Reader::ignore(const OptionUse &) { return true; }

bool Reader::refuse(const OptionUse &use) {
    if (!use.enabled) return true; // --no-digest and the like turn nothing on
    error = "option " + std::string(use.spelling) + " " + use.option.reason;
    return false;
}

bool Reader::deliver(const OptionUse &use) {
    set_delivery("--" + std::string(use.option.name), use);
    return true;
}

// --location-trusted follows redirects as --location does (and sends credentials on to other
// hosts), so it is reported as --location.
bool Reader::location_trusted(const OptionUse &use) {
    set_delivery("--location", use);
    return true;
}

bool Reader::method(const OptionUse &use) {
    method_ = use.argument->text;
    set_delivery("--request", use);
    return true;
}

// -H "Name: value". As in curl, "Name:" keeps curl from adding its own header of that name
// and "Name;" sends the header with an empty value.
bool Reader::header(const OptionUse &use) {
    std::string_view line = use.argument->text;
    if (line.starts_with('@')) return refuse_file(use.spelling, line.substr(1));
    size_t colon = line.find(':');
    if (colon == not_found) {
        std::string_view name = trimmed(line);
        if (name.size() > 1 && name.back() == ';')
            return custom_header(use.spelling, trimmed(name.substr(0, name.size() - 1)), "",
                                 false);
        error = "option " + std::string(use.spelling) + ": the header " + quoted(line) +
                " has no ':' between name and value";
        return false;
    }
    std::string_view name = trimmed(line.substr(0, colon));
    std::string_view value = trimmed(line.substr(colon + 1));
    if (name.empty()) {
        error = "option " + std::string(use.spelling) + ": the header " + quoted(line) +
                " has no name";
        return false;
    }
    return custom_header(use.spelling, name, value, value.empty());
}

// -b name=value. An argument without '=' names a cookie file. curl joins the cookies with ';'.
bool Reader::cookie(const OptionUse &use) {
    std::string_view arg = use.argument->text;
    if (arg.empty()) return true;
    if (arg.find('=') == not_found) {
        error = "option " + std::string(use.spelling) + ": reading cookies from the file " +
                quoted(arg) + " is not supported; give the cookies as name=value pairs";
        return false;
    }
    if (!cookies_.empty()) cookies_ += ';';
    cookies_ += arg;
    return true;
}

// An empty user agent sends none, as -A '' does in curl.
bool Reader::user_agent(const OptionUse &use) {
    user_agent_ = use.argument->text;
    return true;
}

bool Reader::referer(const OptionUse &use) {
    std::string_view arg = use.argument->text;
    if (arg.ends_with(";auto")) arg.remove_suffix(5);
    referer_ = arg;
    return true;
}

// -u user:password. Without a ':' curl prompts for the password, unless the text starts with
// ';' (login options, with no user), when it sends the text and an empty password.
bool Reader::user(const OptionUse &use) {
    std::string_view arg = use.argument->text;
    if (arg.find(':') == not_found && !arg.starts_with(';')) {
        error = "option " + std::string(use.spelling) + ": " + quoted(arg) +
                " has no password (curl would prompt for it); give user:password";
        return false;
    }
    std::string credentials(arg);
    if (arg.find(':') == not_found) credentials += ':';
    // A bearer token wins over a password, whatever the order.
    if (!bearer_) authorization_ = "Basic " + base64(credentials);
    return true;
}

bool Reader::bearer(const OptionUse &use) {
    authorization_ = "Bearer " + use.argument->text;
    bearer_ = true;
    return true;
}

// -r. A range of digits with no '-' is curl's old single-offset form: curl reads the number
// and adds the '-' ("600" asks for all from byte 600).
bool Reader::range(const OptionUse &use) {
    const std::string &arg = use.argument->text;
    if (arg.empty() || !is_digit(arg[0]) || arg.find('-') != not_found) {
        range_ = arg;
        return true;
    }
    uint64_t start = 0;
    for (size_t i = 0; i < arg.size() && is_digit(arg[i]); ++i) {
        auto digit = static_cast<uint64_t>(arg[i] - '0');
        if (start > (largest_offset - digit) / 10) {
            error = "option " + std::string(use.spelling) + ": the range start " + quoted(arg) +
                    " is too large (curl refuses it)";
            return false;
        }
        start = start * 10 + digit;
    }
    range_ = std::to_string(start) + "-";
    return true;
}

// -d and --data-ascii read a file with its line breaks dropped; --data-binary as it is.
bool Reader::data(const OptionUse &use) { return add_body(use, true, false); }

bool Reader::data_binary(const OptionUse &use) { return add_body(use, false, false); }

bool Reader::data_raw(const OptionUse &use) {
    add_data(use.argument->text, false);
    return true;
}

// "content", "=content", "name=content" or "name@file", told apart as curl does: by the first
// '=', else the first '@'. The name goes as it is, the content form-encoded.
bool Reader::data_urlencode(const OptionUse &use) {
    std::string_view arg = use.argument->text;
    size_t split = arg.find('=');
    if (split == not_found) split = arg.find('@');
    std::string_view name = split == not_found ? std::string_view() : arg.substr(0, split);
    std::string piece;
    if (split == not_found || arg[split] == '=')
        piece = arg.substr(split == not_found ? 0 : split + 1);
    else if (!body(use.spelling, arg.substr(split), false, piece))
        return false;
    add_data(std::string(name) + (name.empty() ? "" : "=") + form_encoded(piece), false);
    return true;
}

bool Reader::json(const OptionUse &use) {
    json_ = true;
    return add_body(use, false, true);
}

bool Reader::url(const OptionUse &use) {
    urls_.push_back(use.argument->text);
    return true;
}

bool Reader::get(const OptionUse &use) {
    get_ = use.enabled;
    return true;
}

// -I asks for a HEAD request and, as -i does, for the headers in curl's output.
bool Reader::head(const OptionUse &use) {
    head_ = show_headers_ = use.enabled;
    return true;
}

bool Reader::include(const OptionUse &use) {
    show_headers_ = use.enabled;
    return true;
}

bool Reader::remote_header_name(const OptionUse &use) {
    remote_header_name_ = use.enabled;
    return true;
}

bool Reader::globoff(const OptionUse &use) {
    globoff_ = use.enabled;
    return true;
}

bool Reader::proto_default(const OptionUse &use) {
    default_scheme_ = ascii_lower(use.argument->text);
    return true;
}

// One use of `option`. Every argument that goes into the request or its delivery must be one
// the shell would not have had to expand; what an ignored or refused option takes is not.
bool Reader::apply(const Option &option, std::string_view spelling, const Word *argument,
                   bool enabled) {
    bool used = option.handler != &Reader::ignore && option.handler != &Reader::refuse;
    if (used && argument && !literal("option " + std::string(spelling), *argument)) return false;
    return (this->*option.handler)(OptionUse{option, spelling, argument, enabled});
}

// Reads the words after "curl". Short options may be bundled ("-sSL") and the last of a bundle
// may carry its argument ("-XPOST"); long options take theirs from the next word. After "--"
// every word is a URL.
bool Reader::read_options() {
    const std::vector<Word> &words = line_.words;
    bool options = true;
    for (size_t k = 1; k < words.size(); ++k) {
        const Word &word = words[k];
        std::string_view text = word.text;
        if (!options || !text.starts_with('-')) {
            if (!literal("the URL", word)) return false;
            urls_.push_back(word.text);
            continue;
        }
        if (text == "--") {
            options = false;
            continue;
        }
        if (!literal(quoted(text), word)) return false;
        if (text == "-") {
            error = "unknown option '-': a lone '-' is no option of curl's; leave it out";
            return false;
        }
        if (text[1] == '-') {
            LongOption found = find_long(text.substr(2));
            if (!found.option) {
                error = std::move(found.error);
                return false;
            }
            const Word *argument = nullptr;
            if (found.option->takes_text()) {
                if (k + 1 == words.size()) {
                    error = "option " + word.text + " needs an argument";
                    return false;
                }
                argument = &words[++k];
            }
            if (!apply(*found.option, text, argument, found.enabled)) return false;
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
            if (!option->takes_text()) {
                if (!apply(*option, spelling, nullptr, true)) return false;
                continue;
            }
            // The rest of the bundle is the argument; the word holds no expansion (see above).
            Word attached{std::string(text.substr(p + 1))};
            const Word *argument = &attached;
            if (p + 1 == text.size() && k + 1 < words.size()) {
                argument = &words[++k];
            } else if (p + 1 == text.size()) {
                error = "option " + spelling + " needs an argument";
                return false;
            }
            if (!apply(*option, spelling, argument, true)) return false;
            break;
        }
    }
    return true;
}

// `url` as curl requests it: its glob escapes resolved and, when it has no scheme, one put in
// front (--proto-default's, or the one curl guesses from the host name, mostly "http").
// False with `error` set for what cannot be sent: a placeholder, a glob, a scheme not HTTP, an
// authority curl cannot read.
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
    UrlAuthority authority;
    read_url_authority(url, authority);
    if (authority.scheme_length == 0) {
        std::string guess = default_scheme_.empty() ? "http" : default_scheme_;
        std::string start = ascii_lower(url.substr(0, 5));
        for (const char *name : {"ftp", "dict", "ldap", "imap", "smtp", "pop3"})
            if (default_scheme_.empty() && start.starts_with(std::string(name) + '.')) guess = name;
        url.insert(0, guess + "://");
    }
    std::string name = ascii_lower(url.substr(0, url.find("://")));
    if (name != "http" && name != "https") {
        error = "the URL " + quoted(url) + " is not an http:// or https:// one; only HTTP " +
                "requests can be sent";
        return false;
    }
    // The host and port, as curl's URL parser takes them.
    const char *fault = nullptr;
    if (!read_url_authority(url, authority)) {
        fault = authority.fault == AuthorityFault::no_host ? "has no host"
                : authority.fault == AuthorityFault::port  ? "has a port that is not a number"
                                                           : "has a '[' that does not close "
                                                             "around an IPv6 address";
    } else {
        uint32_t port = 0;
        for (char c : authority.port)
            port = std::min(port * 10 + static_cast<uint32_t>(c - '0'), 65536u);
        if (port > 65535) fault = "has a port past 65535";
    }
    if (fault) {
        error = "the URL " + quoted(url) + " " + fault;
        return false;
    }
    return true;
}

// The headers in the order curl sends them (see Request::headers): a Host of -H where curl's
// own goes, first; then curl's own, each unless -H names it; those of -H; --json's.
bool Reader::place_headers(Request &request) {
    auto own = [&](std::string_view name, std::string value) {
        if (!value.empty() && !has_custom(name))
            request.headers.push_back({std::string(name), std::move(value)});
    };
    auto host = custom_index_.find("host");
    if (host != custom_index_.end() && !customs_[host->second].removed)
        request.headers.push_back(customs_[host->second].header);
    own("Authorization", std::move(authorization_));
    // A range asks for part of what a GET or HEAD fetches, or says which part a body is.
    if (range_ && request.data)
        own("Content-Range", "bytes " + *range_ + "/" + std::to_string(request.data->size()));
    else if (range_)
        own("Range", "bytes=" + *range_);
    own("User-Agent", std::move(user_agent_));
    own("Referer", std::move(referer_));
    own("Cookie", std::move(cookies_));
    for (Custom &custom : customs_)
        if (!custom.removed && !equal_ignoring_case(custom.header.name, "host"))
            request.headers.push_back(std::move(custom.header));
    if (json_) {
        own("Content-Type", "application/json");
        own("Accept", "application/json");
    }
    for (const Header &header : request.headers) {
        if (has_control(header.name, false) || has_control(header.value, true)) {
            error = "the header " + quoted(header.name) +
                    " holds a line break or another control character";
            return false;
        }
    }
    return true;
}

bool Reader::finish(Request &request) {
    // Options curl refuses together, whatever the rest.
    if (remote_header_name_ && show_headers_) {
        error = "options -J and -i (or -I) do not go together: curl refuses them, as showing " +
                std::string("headers and --remote-header-name cannot be combined");
        return false;
    }

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
        append_query(request.url, *data_);
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
    if (!place_headers(request)) return false;

    // Escapes such as \xHH may have produced bytes that are not text.
    bool text = is_utf8(request.url) && is_utf8(request.method) &&
                (!request.data || is_utf8(*request.data));
    for (const Header &header : request.headers)
        text = text && is_utf8(header.name) && is_utf8(header.value);
    for (const Delivery &option : delivery_)
        text = text && (!option.argument || is_utf8(*option.argument));
    if (!text) {
        error = "the curl command's escapes produce bytes that are not UTF-8 text";
        return false;
    }
    request.delivery = std::move(delivery_);
    return true;
}

} // namespace glimet::curl
