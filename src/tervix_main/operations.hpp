// What the toolkit module's files share: the operations' definitions and the names they use.
#pragma once

#include "support/function.hpp"
#include "support/globals.hpp"

namespace glimet::tervix {

extern const OperationSpec init_spec;
extern const OperationSpec json_dumps_spec;
extern const OperationSpec saas_sign_spec;
extern const OperationSpec saas_sign_params_spec;
extern const OperationSpec case_review_spec;
extern const OperationSpec production_demand_spec;

// Builds the constant arguments of the JSON call; run once by the module's execution step.
[[nodiscard]] int json_dumps_init();

} // namespace glimet::tervix
