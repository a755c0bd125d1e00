// TERVIXWorkMain._tervix_test_case_review: passes every case of a MeterSphere review.
#include "tervix_main/operations.hpp"

namespace glimet::tervix {
namespace {

PyObject *case_review(Function *, PyObject *const *) {
    PyErr_SetString(PyExc_NotImplementedError, "TERVIXWorkMain._tervix_test_case_review");
    return nullptr;
}

} // namespace

const OperationSpec case_review_spec = {
    "_tervix_test_case_review",
    "TERVIXWorkMain._tervix_test_case_review",
    "tervix_main.TERVIXWorkMain._tervix_test_case_review",
    "TERVIXWorkMain._tervix_test_case_review(content)",
    "(content)",
    {"content"},
    1,
    1,
    case_review,
    GLIMET_SOURCE,
    __LINE__,
};

} // namespace glimet::tervix
