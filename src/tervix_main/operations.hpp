// The toolkit module's operations, as the class TERVIXWorkMain holds them.
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

// _tervix_saas_sign_params without the print: the same arguments (the instance, params, env,
// update_time), steps and result, the signed text left unprinted.
PyObject *saas_sign_params_quietly(Function *self, PyObject *const *args);

// The names and constants of the files that keep their own, made by the module's execution
// step so that a lack of memory fails the import rather than a later call.
[[nodiscard]] int review_init();
[[nodiscard]] int notice_init();

} // namespace glimet::tervix
