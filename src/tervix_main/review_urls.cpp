// glimet_work._review_urls: the review operation's two endpoints, as the operation itself has
// them, for the Python side of the review to tell its requests apart.
#include "support/ref.hpp"
#include "tervix_main/review_urls.hpp"

namespace glimet::tervix {
namespace {

int module_exec(PyObject *module) noexcept {
    if (PyModule_AddStringConstant(module, "LIST_URL", list_url) < 0) return -1;
    return PyModule_AddStringConstant(module, "EDIT_URL", edit_url);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "glimet_work._review_urls",
    .m_doc = "The review operation's endpoints: LIST_URL ({page} filled by str.format) and "
             "EDIT_URL.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace
} // namespace glimet::tervix

PyMODINIT_FUNC PyInit__review_urls(void) { return PyModuleDef_Init(&glimet::tervix::module_def); }
