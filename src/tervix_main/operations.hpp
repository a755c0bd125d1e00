// What the toolkit module's files share: the operations' definitions and the names they use.
#pragma once

#include "support/function.hpp"
#include "support/globals.hpp"
#include "support/text_builder.hpp"

namespace glimet::tervix {

extern const OperationSpec init_spec;
extern const OperationSpec json_dumps_spec;
extern const OperationSpec saas_sign_spec;
extern const OperationSpec saas_sign_params_spec;
extern const OperationSpec case_review_spec;
extern const OperationSpec production_demand_spec;

// Each file's names and constants, made by the module's execution step so that a lack of
// memory fails the import rather than a later call.
[[nodiscard]] int json_dumps_init(PyObject *module);
[[nodiscard]] int signing_init();
[[nodiscard]] int review_init();
[[nodiscard]] int notice_init();

// The function object of _json_dumps (inside its staticmethod), set when the class is made.
extern PyObject *json_dumps_operation;

// Whether `json` (the object the module's `json` is bound to now) is the standard module with
// its encoder untouched since import, so that json.dumps would produce what the module's own
// writer produces. Runs no Python code and never raises.
bool json_is_standard(PyObject *json);

// Whether `globals` is this module's namespace and holds only str keys, so that looking a name
// up in it runs no Python code, and the standard encoder is in place (the module's `json` may
// still be bound to something else). Runs no Python code and never raises.
bool json_fast_path_open(PyObject *globals);

// What the class's own _json_dumps(value) does, for callers that hold a text being built:
// the text written into `out` (with `written` set and an empty result) when it can be had
// without the encoder, else the encoder's result, or null with an exception set and the
// operation's traceback entry added.
Ref json_dumps_into(PyObject *globals, PyObject *value, TextBuilder &out, bool &written);

} // namespace glimet::tervix
