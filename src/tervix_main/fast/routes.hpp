// The fast routes: what exists in the toolkit module only for speed. Each route stands beside
// a step of an operation and does what the step's general route does, for the inputs it
// recognises, without asking the interpreter. Every route keeps one contract:
//
// - It accepts exact built-in types only, and objects its guards (fast/guards.hpp) recognise
//   as the interpreter's own or this toolkit's own, as they were made.
// - No Python code runs while it works, so every borrowed reference it reads stays valid and
//   nothing it has read can change under it.
// - It either produces the step's whole result, in the output it was given, and says
//   Route::written; or it says Route::declined, having left that output as it was and no
//   exception set. The general route then starts the step from its beginning, as if the
//   fast route had not been tried.
// - It never fails: what would fail declines, and the general route meets the failure again
//   and reports it in its own words (a text builder's lack of memory shows when it finishes,
//   as for the general route writing into it).
// - It takes the interpreter's recursion budget as the general route's calls would take it,
//   and declines where they would be refused (fast/budget.hpp).
//
// The operation chooses the route in one place: `if (fast::...(...) == Route::declined)` the
// general route runs. Built with GLIMET_FAST_ROUTES=OFF every route declines at once
// (fast/off.cpp), the toolkit runs on its general routes alone, and the test suite passes
// both ways: that is how a fast route's output is checked to be the general route's.
#pragma once

#include "support/ref.hpp"
#include "support/text_builder.hpp"

namespace glimet::tervix::fast {

enum class Route { written, declined };

// Keeps what the guards judge against: this toolkit's own objects (the class `cls` and its
// _json_dumps, glimet_crypt's m_crypt) and the json package's own code read from its files.
// Runs when `module` has been executed up to its class; -1 with an exception only if memory
// runs out (anything else that cannot be had leaves the routes that need it declining).
[[nodiscard]] int init(PyObject *module, PyObject *cls);

// _json_dumps: json.dumps(value, separators=(",", ":"), ensure_ascii=False) into `text`,
// where `json` is the object the module's `json` is bound to now.
Route write_compact_json(Ref &text, PyObject *json, PyObject *value);

// The body's sorted copy: {key: source[key] for key in sorted(source)} into `data`, an empty
// dict of the caller's.
Route copy_sorted(PyObject *data, PyObject *source);

// The body's signed text before its constant: "&".join(f"{key}={value}" for key, value in
// data.items()), with dict and list values given by instance._json_dumps; `data` is the
// sorted copy, `globals` the module namespace the operation looks `json` up in.
Route write_pieces(TextBuilder &out, PyObject *data, PyObject *instance, PyObject *globals);

// One piece of that text, f"{key}={value}", into `out`: the step the general route takes for
// each entry of a body the route above declines (a dict holding one value of another type, a
// Decimal say), so that every other entry still comes here.
Route write_piece(TextBuilder &out, PyObject *key, PyObject *value, PyObject *instance,
                  PyObject *globals);

// The parameters' signed text before its constant: for each key in sorted(params), key,
// "=", and json.dumps([text], ensure_ascii=False) where text is the value if it is a str
// and str(value) otherwise; pieces joined by "&".
Route write_parameter_pieces(TextBuilder &out, PyObject *params, PyObject *globals);

// One parameter's value as the parameters' signed text holds it: json.dumps([text],
// ensure_ascii=False) into `array`, where text is `value` if it is a str and str(value)
// otherwise. The step the general route takes for each value of parameters the route above
// declines (a dict holding one value of another type, a Decimal say): every other value, and
// the other one's text once str() has made it, still comes here.
Route parameter_array(Ref &array, PyObject *value, PyObject *globals);

// int(time_function() * 1000) into `milliseconds`, where `time_function` is what the
// module's `time` gave for its attribute `time`.
Route milliseconds_now(Ref &milliseconds, PyObject *time_function);

// A line of the production-demand notice, into `text`: f"{num}、{title}" where `title` is
// line.strip().split("】http")[0].replace("【", "", 1).
Route notice_line(Ref &text, PyObject *line, Py_ssize_t num);

// m_crypt.sha256(text, "upper") into `signature`, where `m_crypt` is what the module's
// `m_crypt` is bound to now.
Route sign(Ref &signature, PyObject *m_crypt, PyObject *text);

} // namespace glimet::tervix::fast
