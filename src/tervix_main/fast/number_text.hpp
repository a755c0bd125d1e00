// Decimal text of numbers as the interpreter's repr writes it, into a caller's buffer.
// Free of Python; only for the fast routes.
#pragma once

#include <cstdint>

namespace glimet::tervix::fast {

// The room a buffer given to the writers here must have: some write past the end of their text.
inline constexpr int number_text_size = 48;

// Writes the decimal digits of `value` at `out`; returns the end of what was written. Also
// as characters of two or four bytes, for text stored so (the room is counted in characters).
char *write_decimal(uint64_t value, char *out) noexcept;
uint16_t *write_decimal(uint64_t value, uint16_t *out) noexcept;
uint32_t *write_decimal(uint64_t value, uint32_t *out) noexcept;

// The same with a '-' before a negative value.
template <typename Char> Char *write_decimal(int64_t value, Char *out) noexcept {
    if (value >= 0) return write_decimal(static_cast<uint64_t>(value), out);
    *out++ = '-';
    return write_decimal(0 - static_cast<uint64_t>(value), out);
}

// Writes repr(x) for a finite float `x` at `out`: the shortest digits that read back as x,
// positional when their decimal exponent is from -4 to 15 ("0.001", "123.0"), else
// d.ddde+XX ("1e-05", "1.5e+16"). Returns the end of what was written.
char *write_float_repr(double x, char *out) noexcept;

// Writes repr(x), a ',' and repr(y), as write_float_repr would, but faster than the two calls:
// the work for both goes on side by side.
char *write_float_reprs(double x, double y, char *out) noexcept;

// The same for two lists of two, as coordinates come: [x0,x1],[x2,x3].
char *write_float_pair_lists(const double (&x)[4], char *out) noexcept;

} // namespace glimet::tervix::fast
