// libFuzzer target for the float formatter: every finite double, one at a time, two at a time
// and as two lists of two, gets the text repr() gives it, built from std::to_chars' shortest
// round trip (tests/kernels/repr_oracle.hpp). `make fuzz-float-repr` builds and runs it.
#include "../tests/kernels/repr_oracle.hpp"
#include "kernels/float_repr.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace glimet::kernels;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    double x[4];
    if (size < sizeof x) return 0;
    std::memcpy(x, data, sizeof x);
    std::string each[4];
    for (int k = 0; k < 4; ++k) {
        if (!std::isfinite(x[k])) return 0;
        char text[float_repr_room];
        each[k].assign(text, float_repr(x[k], text));
        if (each[k] != expected_repr(x[k])) std::abort();
    }
    char two[2 * float_repr_room + 1], lists[4 * float_repr_room + 8];
    if (std::string(two, float_reprs(x[0], x[1], two)) != each[0] + "," + each[1]) std::abort();
    std::string listed = "[" + each[0] + "," + each[1] + "],[" + each[2] + "," + each[3] + "]";
    if (std::string(lists, float_pair_lists(x, lists)) != listed) std::abort();
    return 0;
}
