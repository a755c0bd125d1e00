// The scalar adapters: a Python object's characters or value handed to its kernel, the text
// written in the builder's own kind.
#include "tervix_main/fast/scalar_text.hpp"

#include "kernels/float_repr.hpp"

#include <cmath>

namespace glimet::tervix::fast {
namespace {

// A float's text: repr's digits for a finite one, `words` for NaN, infinity and -infinity.
void write_float(TextBuilder &out, double x, const std::string_view (&words)[3]) {
    if (std::isnan(x)) return out.ascii(words[0]);
    if (std::isinf(x)) return out.ascii(words[x > 0 ? 1 : 2]);
    write_ascii<kernels::float_repr_room>(out,
                                          [x](char *at) { return kernels::float_repr(x, at); });
}

} // namespace

void write_float_repr(TextBuilder &out, double x) {
    static constexpr std::string_view words[3] = {"nan", "inf", "-inf"};
    write_float(out, x, words);
}

void write_json_float(TextBuilder &out, double x) {
    static constexpr std::string_view words[3] = {"NaN", "Infinity", "-Infinity"};
    write_float(out, x, words);
}

} // namespace glimet::tervix::fast
