// Compact JSON of plain values, as json.dumps(value, separators=(",", ":"), ensure_ascii=False)
// writes them with the standard encoder. Only for the fast routes: see routes.hpp for the
// contract every Route here keeps.
#pragma once

#include "tervix_main/fast/routes.hpp"

namespace glimet::tervix::fast {

// What json.dumps(value, separators=(",", ":"), ensure_ascii=False) returns once the standard
// encoder is known to be in place, called from C as the operations call it, into `text`:
// written when `value` is made only of exact str, int, float, bool, None, list, tuple and
// dict (keys str, int, float, bool or None) nesting no deeper than a bound, and the recursion
// budget has room for what json.dumps would take; declined otherwise.
Route write_json(Ref &text, PyObject *value);

} // namespace glimet::tervix::fast
