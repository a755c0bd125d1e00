// The signed texts' pieces, the general way: each step as the operations' Python rendering
// takes it, for any mapping and any values, asking the interpreter for everything.
#pragma once

#include "support/function.hpp"
#include "support/text_builder.hpp"

namespace glimet::tervix {

// data = {key: source[key] for key in sorted(source)}, into `data`, an empty dict of ours.
[[nodiscard]] int copy_sorted(PyObject *data, PyObject *source);

// "&".join(f"{key}={value}" for key, value in data.items()) written into `out`, a dict or
// list value replaced by instance._json_dumps(value) first. A failure adds the operation's
// generator-expression entry to the traceback, as a failure inside the expression would. A
// piece the fast route writes (fast/routes.hpp) is written so: only the others ask.
[[nodiscard]] int write_pieces(Function *self, TextBuilder &out, PyObject *data,
                               PyObject *instance);

// The parameters' pieces: data = {key: json.dumps([text], ensure_ascii=False) for key in
// sorted(params)}, where text is params[key] if it is a str and str(params[key]) otherwise
// and `json` is looked up for each key, then the pieces of data as above. Each array, and the
// pieces of data, take their own fast routes where those write them (fast/routes.hpp): a
// value of another type then costs its own str() and no more.
[[nodiscard]] int write_parameter_pieces(Function *self, TextBuilder &out, PyObject *params,
                                         PyObject *instance);

} // namespace glimet::tervix
