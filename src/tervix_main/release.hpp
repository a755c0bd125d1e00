// Taking pending signals at the review's safe points, and releasing a response there, so that
// neither a Ctrl-C nor an exception raised while a response is cleaned up can be lost.
#pragma once

#include "support/ref.hpp"

namespace glimet::tervix {

// Takes the signals that are pending, and drops `response` (when given) meanwhile; 0, or -1
// with the exception of a signal handler or of the response's clean-up.
[[nodiscard]] int take_signals(Ref response = {});

// The function that take_signals puts in sys.unraisablehook while a response is released;
// names.unraisable_hook is made of it.
extern PyMethodDef unraisable_hook_def;

} // namespace glimet::tervix
