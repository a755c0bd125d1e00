// The text of plain values as the interpreter's str(), repr() and format(value, "") make it:
// exact str, int, float, bool and None, and lists, tuples and dicts of them. Only for the fast
// routes: see routes.hpp for the contract every Route here keeps.
#pragma once

#include "support/text_builder.hpp"
#include "tervix_main/fast/routes.hpp"

namespace glimet::tervix::fast {

// Appends format(value, ""), which is str(value), for an exact str, bool, None, float or int.
Route write_scalar_text(TextBuilder &out, PyObject *value);

// Appends str(value), which is repr(value) and format(value, ""), for an exact list, tuple or
// dict of plain values nesting no deeper than a bound (cycles are left to the interpreter,
// which shows them as "[...]"); declined where the recursion budget would refuse str().
Route write_plain_repr(TextBuilder &out, PyObject *value);

} // namespace glimet::tervix::fast
