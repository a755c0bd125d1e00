// glimet_curl: the object m_curl, whose parse reads a pasted curl command.
#include "support/module.hpp"

namespace glimet::curl {
namespace {

int module_exec(PyObject *module) noexcept {
    Ref m_curl = Ref::steal(PyModule_New("glimet_curl.m_curl"));
    if (!m_curl) return -1;
    return PyModule_Add(module, "m_curl", m_curl.release());
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "glimet_curl",
    "Curl command reader for glimet-work: m_curl.parse(text).dict().",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace
} // namespace glimet::curl

PyMODINIT_FUNC PyInit_glimet_curl(void) { return PyModuleDef_Init(&glimet::curl::module_def); }
