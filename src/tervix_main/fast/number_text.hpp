// Decimal text of numbers as the interpreter's repr writes it, into a caller's char buffer.
// Free of Python; only for the fast routes.
#pragma once

#include <cstdint>

namespace glimet::tervix::fast {

// The room a buffer given to the writers here must have: some write past the end of their text.
inline constexpr int number_text_size = 48;

// Writes the decimal digits of `value` at `out`; returns the end of what was written.
char *write_decimal(uint64_t value, char *out) noexcept;

// The same with a '-' before a negative value.
inline char *write_decimal(int64_t value, char *out) noexcept {
    if (value >= 0) return write_decimal(static_cast<uint64_t>(value), out);
    *out++ = '-';
    return write_decimal(0 - static_cast<uint64_t>(value), out);
}

// Writes repr(x) for a finite float `x` at `out`: the shortest digits that read back as x,
// positional when their decimal exponent is from -4 to 15 ("0.001", "123.0"), else
// d.ddde+XX ("1e-05", "1.5e+16"). Returns the end of what was written.
char *write_float_repr(double x, char *out) noexcept;

} // namespace glimet::tervix::fast
