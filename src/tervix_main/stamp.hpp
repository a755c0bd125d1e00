// The stamp both signers put on the caller's mapping, and the mapping's own methods they call.
#pragma once

#include "support/ref.hpp"

namespace glimet::tervix {

// mapping.update(<name>=value), where `kwnames` is the one-name tuple (name,).
[[nodiscard]] int mapping_update(PyObject *mapping, PyObject *kwnames, PyObject *value);

// The changes both operations make to the caller's mapping before anything else can fail:
// "saas_sign_timespan" set to int(time.time() * 1000), with `time` looked up in `globals`,
// unless update_time is false and the mapping already holds a true value there; then any
// "saas_sign" removed.
[[nodiscard]] int stamp(PyObject *globals, PyObject *mapping, PyObject *update_time);

} // namespace glimet::tervix
