// The request reader: curl's options, read in order from the words the shell hands to curl, into
// the request they describe. Each option's handler is named by its row in options.cpp.
#pragma once

#include "glimet_curl/curl_core.hpp"
#include "glimet_curl/options.hpp"
#include "glimet_curl/words.hpp"

#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace glimet::curl {

// One use of an option: its row, how the command spelled it (for messages), its argument (null
// for an option that takes none) and whether it is on (false after a --no- form).
struct OptionUse {
    const Option &option;
    std::string_view spelling;
    const Word *argument;
    bool enabled;
};

class Reader {
public:
    // `line` is what the shell hands to curl for `text`, which its expansions point into.
    Reader(std::string_view text, CommandLine &line) : text_(text), line_(line) {}
    // The request; false with `error` set when the command cannot be honoured.
    bool read(Request &request) { return read_options() && finish(request); }
    std::string error;

    // The handlers. Options that change nothing curl sends, or only how it prints.
    bool ignore(const OptionUse &use);
    // Options refused, for the reason in their row, when they are on.
    bool refuse(const OptionUse &use);
    // --help, --version, --manual: curl prints and sends nothing.
    bool stop(const OptionUse &use);
    // Options that change how the request is delivered, reported in Request::delivery.
    bool deliver(const OptionUse &use);
    bool location_trusted(const OptionUse &use);
    // The options that make the request.
    bool method(const OptionUse &use);
    bool header(const OptionUse &use);
    bool cookie(const OptionUse &use);
    bool user_agent(const OptionUse &use);
    bool referer(const OptionUse &use);
    bool user(const OptionUse &use);
    bool bearer(const OptionUse &use);
    bool range(const OptionUse &use);
    bool data(const OptionUse &use);
    bool data_binary(const OptionUse &use);
    bool data_raw(const OptionUse &use);
    bool data_urlencode(const OptionUse &use);
    bool json(const OptionUse &use);
    bool url(const OptionUse &use);
    bool get(const OptionUse &use);
    bool head(const OptionUse &use);
    bool include(const OptionUse &use);
    bool remote_header_name(const OptionUse &use);
    bool globoff(const OptionUse &use);
    bool proto_default(const OptionUse &use);

private:
    // A header of -H. "Name:" sends none, but keeps curl from sending its own of that name.
    struct Custom {
        Header header;
        bool removed = false;
    };

    bool read_options();
    bool apply(const Option &option, std::string_view spelling, const Word *argument,
               bool enabled);
    bool finish(Request &request);
    bool resolve_url(std::string &url);
    bool place_headers(Request &request);
    bool literal(std::string_view context, const Word &word);
    bool custom_header(std::string_view spelling, std::string_view name, std::string_view value,
                       bool removed);
    bool has_custom(std::string_view name) const;
    bool refuse_file(std::string_view spelling, std::string_view name);
    bool standard_input(std::string_view spelling, std::string &content);
    bool body(std::string_view spelling, std::string_view arg, bool one_line, std::string &out);
    bool add_body(const OptionUse &use, bool one_line, bool joined_plain);
    void add_data(std::string_view piece, bool joined_plain);
    void set_delivery(std::string name, const OptionUse &use);

    std::string_view text_;
    CommandLine &line_;
    std::vector<std::string> urls_;
    std::vector<Custom> customs_;                          // in the order names first appear
    std::unordered_map<std::string, size_t> custom_index_; // lower-case name -> position
    // curl's own headers, as the options set them.
    std::string authorization_, user_agent_, referer_, cookies_;
    std::optional<std::string> range_;
    std::optional<std::string> data_;
    std::optional<std::string> method_;
    std::string default_scheme_;
    std::vector<Delivery> delivery_;
    bool get_ = false, head_ = false, json_ = false, bearer_ = false, globoff_ = false;
    bool show_headers_ = false, remote_header_name_ = false;
};

} // namespace glimet::curl
