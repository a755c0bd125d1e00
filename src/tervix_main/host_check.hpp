// The review's host check: a pasted command's cookie and headers go only to the host they
// were copied from, which must be the built-in server's.
#pragma once

#include "support/ref.hpp"

namespace glimet::tervix {

// Refuses a parsed command (`get_list_curl`, a mapping read with get) copied from another host
// than the built-in server's. Scheme and port are not compared; a command without "url" (an
// m_curl of the caller's own) passes. 0, or -1 with TypeError for a "url" that is not a str,
// ValueError for another host or a "url" whose host cannot be read: when the host is in doubt
// nothing is sent.
[[nodiscard]] int check_host(PyObject *get_list_curl);

} // namespace glimet::tervix
