// The float-repr kernel: repr() of a finite float, the shortest digits that read back as it,
// positional when their decimal exponent is from -4 to 15 ("0.001", "123.0"), else d.ddde+XX
// ("1e-05", "1.5e+16"). The formatter's algorithm is told at the top of float_repr.cpp. Several
// floats can be written at once, their work side by side.
#pragma once

#include <cstddef>

namespace glimet::kernels {

// The room a buffer given to the writers here must have: they store past the end of the text.
inline constexpr size_t float_repr_room = 48;

// Writes repr(x) for a finite `x` at `out`; returns the end of what was written.
char *float_repr(double x, char *out) noexcept;

// Writes repr(x), a ',' and repr(y), as float_repr would, but faster than the two calls.
char *float_reprs(double x, double y, char *out) noexcept;

// The same for two lists of two, as coordinates come: [x0,x1],[x2,x3].
char *float_pair_lists(const double (&x)[4], char *out) noexcept;

} // namespace glimet::kernels
