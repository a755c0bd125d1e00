// The text of Python's scalars through the kernels, into the text builder: each adapter
// written once, for compact JSON and plain text alike. Only for the fast routes: see
// routes.hpp for the contract every Route here keeps.
#pragma once

#include "support/text_builder.hpp"
#include "tervix_main/fast/routes.hpp"

#include <string_view>

namespace glimet::tervix::fast {

// Appends `text` (an exact str) as a JSON string with ensure_ascii off, then `after` unless it
// is 0: only the quotation mark, the backslash and the control characters are escaped.
// Declined for a str whose characters are not stored in its object, which this interpreter
// does not make.
Route write_json_string(TextBuilder &out, PyObject *text, char after = 0);

// Appends an exact int as int.__repr__ writes it; declined where that fails (past the digit
// limit).
Route write_int(TextBuilder &out, PyObject *value);

// Appends repr(x), and so str(x) and format(x, ""), of a float; JSON's spelling writes NaN
// and the infinities as the standard encoder does ("NaN", "Infinity", "-Infinity").
void write_float_repr(TextBuilder &out, double x);
void write_json_float(TextBuilder &out, double x);

// Appends the ASCII text `write` puts at a char pointer (returning its end), at most `room`
// characters; straight into the text while it is one byte a character.
template <size_t room, typename Write> void write_ascii(TextBuilder &out, Write write) {
    if (!out.reserve(room)) return;
    if (out.kind() == 1) {
        char *at = reinterpret_cast<char *>(out.end<Py_UCS1>());
        out.advance(static_cast<size_t>(write(at) - at));
        return;
    }
    char text[room];
    out.put(std::string_view(text, static_cast<size_t>(write(text) - text)));
}

} // namespace glimet::tervix::fast
