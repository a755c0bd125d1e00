// The scalar adapters: a Python object's characters or value handed to its kernel, the text
// written in the builder's own kind.
#include "tervix_main/fast/scalar_text.hpp"

#include "kernels/float_repr.hpp"

#include <cmath>

namespace glimet::tervix::fast {

void write_json_float(TextBuilder &out, double x) {
    if (std::isnan(x)) return out.ascii("NaN");
    if (std::isinf(x)) return out.ascii(x > 0 ? "Infinity" : "-Infinity");
    write_ascii<kernels::float_repr_room>(out,
                                          [x](char *at) { return kernels::float_repr(x, at); });
}

} // namespace glimet::tervix::fast
