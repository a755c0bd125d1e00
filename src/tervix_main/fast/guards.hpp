// The guards of the fast routes. Each says whether an object the general route would use is
// the interpreter's own, or this toolkit's own, as it was made, so that what the general
// route would do with it is known. They judge against the interpreter's own objects (the json
// package's code as its files define it, built-ins recognised by the C module that defined
// them), never against whatever stood in a module when this one was imported. None of them
// runs Python code or leaves an exception set.
#pragma once

#include "glimet_crypt/crypt_api.hpp"
#include "support/ref.hpp"

namespace glimet::tervix::fast {

// Keeps what the guards compare against; see routes.hpp.
[[nodiscard]] int keep_own_objects(PyObject *module, PyObject *cls);

// Whether json.dumps(value, separators=(",", ":"), ensure_ascii=False), with `json` the
// object the module's `json` is bound to, runs the json package's own code through to the
// accelerator's encoder with nothing else of Python's on the way, and no tracer or profiler
// would see its frames.
bool standard_json(PyObject *json);

// Whether looking `json` up in `globals` runs no Python code now and for as long as no
// Python code runs, and finds the standard json module (as standard_json judges it).
bool standard_json_bound(PyObject *globals);

// Whether `function` is the interpreter's own time.time.
bool standard_clock(PyObject *function);

// glimet_crypt's API when `m_crypt` is glimet_crypt's own m_crypt object, else null.
const CryptApi *own_crypt(PyObject *m_crypt);

// Whether instance._json_dumps finds, without running Python code, the class's own
// _json_dumps operation.
bool own_json_dumps(PyObject *instance);

} // namespace glimet::tervix::fast
