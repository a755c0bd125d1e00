// TERVIXWorkMain._tervix_test_production_demand: the numbered production-demand notice.
#include "tervix_main/operations.hpp"

namespace glimet::tervix {
namespace {

PyObject *production_demand(Function *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError,
                    "TERVIXWorkMain._tervix_test_production_demand");
    return nullptr;
}

} // namespace

const OperationSpec production_demand_spec = {
    "_tervix_test_production_demand",
    "TERVIXWorkMain._tervix_test_production_demand",
    "tervix_main.TERVIXWorkMain._tervix_test_production_demand",
    "TERVIXWorkMain._tervix_test_production_demand(content)",
    "(content)",
    {"content"},
    1,
    1,
    production_demand,
    GLIMET_SOURCE,
    __LINE__,
};

} // namespace glimet::tervix
