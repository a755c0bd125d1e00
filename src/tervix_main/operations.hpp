// The toolkit module's operations, as the class TERVIXWorkMain holds them, and what they share.
#pragma once

#include "support/function.hpp"
#include "support/globals.hpp"
#include "tervix_main/names.hpp"

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

// print(line): one call of `print`, with one argument; 0, or -1 with its exception.
[[nodiscard]] inline int print_line(PyObject *print, PyObject *line) {
    Ref printed = Ref::steal(PyObject_CallOneArg(print, line));
    return printed ? 0 : -1;
}

} // namespace glimet::tervix
