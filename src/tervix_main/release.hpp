// Taking pending signals at the review's safe points, and releasing a response there, so that
// neither a Ctrl-C nor an exception raised while a response is cleaned up can be lost.
#pragma once

#include "support/ref.hpp"

namespace glimet::tervix {

// Takes the signals that are pending, and drops `response` (when given) meanwhile; 0, or -1
// with the exception of a signal handler or of the response's clean-up.
[[nodiscard]] int take_signals(Ref response = {});

// print(line) with the built-in print bound at load, then take_signals(): a Ctrl-C that comes
// right after the line is raised here.
[[nodiscard]] int print_line(PyObject *line);

// What the above keep for the process, made while the module loads; 0, or -1 with the error.
[[nodiscard]] int release_init();

} // namespace glimet::tervix
