// A compact JSON writer for values made only of the built-in JSON types, producing exactly what
// json.dumps(value, separators=(",", ":"), ensure_ascii=False) produces for them.
#pragma once

#include "support/text_builder.hpp"

namespace glimet::tervix {

// Appends `text` (a str) as a JSON string literal with ensure_ascii off: only the quotation
// mark, the backslash and the control characters are escaped.
void write_json_string(TextBuilder &out, PyObject *text);

// Appends a float as float.__repr__ (and so str and format with no spec) writes it.
void write_float_repr(TextBuilder &out, double x);

// Appends an int that fits in 64 bits as int.__repr__ writes it; false, writing nothing, for
// a larger one.
bool write_small_int(TextBuilder &out, PyObject *value);

// Appends json.dumps(str(value), ensure_ascii=False) when `value` is a container write_plain_repr
// writes, without making str(value) as an object. Returns false for anything else, with `out`
// as it was and no exception set (also when memory ran out: the caller's general route meets
// that again and reports it).
bool write_plain_repr_json_string(TextBuilder &out, PyObject *value);

// Outcome of the fast encoder.
enum class FastJson { done, declined };

// Writes `value` as compact JSON when it is made only of exact str, int, float, bool, None,
// list, tuple and dict (keys str, int, float, bool or None) and nests no deeper than the bound.
// Anything else is `declined`, with no exception set, and the caller must produce the text by
// the general route; a failed write shows when the builder is finished.
FastJson write_compact_json(TextBuilder &out, PyObject *value);

// Writes repr(value) when `value` is made only of exact str, int, float, bool, None, list,
// tuple and dict nesting no deeper than the bound, which is then str(value) as well, and no
// Python code runs. Returns false for anything else, with `out` as it was and no exception
// set; the caller then asks the interpreter.
bool write_plain_repr(TextBuilder &out, PyObject *value);

} // namespace glimet::tervix
