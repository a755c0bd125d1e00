// What glimet_crypt lends the other modules of the package through its capsule
// glimet_crypt._api: the type of m_crypt, and m_crypt.sha256's work for a str already checked.
#pragma once

#include "support/ref.hpp"

namespace glimet {

struct CryptApi {
    PyTypeObject *type;                                        // type(m_crypt)
    PyObject *(*sha256)(PyObject *crypt, PyObject *text, bool upper); // new reference or null
};

} // namespace glimet
