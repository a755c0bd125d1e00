// curl's options, as its own tool lists them: one row per option, sorted by long name, each with
// its short form, the argument it takes and the reader's handler for it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace glimet::curl {

class Reader;
struct OptionUse;

// What an option takes, as curl's table says: nothing; nothing, with a --no- form that turns
// it off; a text; a file name (a text too).
enum class Argument : uint8_t { none, boolean, string, file };

// What one use of an option does to the request being read; false with the reader's error set
// when the command cannot be honoured.
using Handler = bool (Reader::*)(const OptionUse &);

struct Option {
    std::string_view name; // the long form, without "--"
    char letter;           // the short form, or 0
    Argument argument;
    Handler handler;
    const char *reason = nullptr; // for the options refused: what they do, what to do instead

    bool takes_text() const { return argument == Argument::string || argument == Argument::file; }
};

// What a long option's name (as written, without "--") finds, as curl 7.88.1 finds it: the name
// itself or, when it is no option's whole name, the one option it starts (ignoring case), or
// "no-" and a switch's whole name, which turns the switch off. `option` is null when none is
// found, with `error` saying why.
struct LongOption {
    const Option *option = nullptr;
    bool enabled = true;
    std::string error;
};
LongOption find_long(std::string_view name);

// The option whose short form is `letter`, or null.
const Option *find_short(char letter);

} // namespace glimet::curl
