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

// Builds the constant arguments of the JSON call; run once by the module's execution step.
[[nodiscard]] int json_dumps_init();

// The function object of _json_dumps (inside its staticmethod), set when the class is made.
extern PyObject *json_dumps_operation;

// 1 when `dumps`, read from `json`, is still the standard encoder seen at import; 0 when not;
// -1 with an exception set.
int json_is_standard(PyObject *json, PyObject *dumps);

// What the class's own _json_dumps(value) does, for callers that hold a text being built:
// the text written into `out` (with `written` set and an empty result) when it can be had
// without the encoder, else the encoder's result, or null with an exception set and the
// operation's traceback entry added.
Ref json_dumps_into(PyObject *globals, PyObject *value, TextBuilder &out, bool &written);

} // namespace glimet::tervix
