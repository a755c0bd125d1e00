// UTF-8 encoding under the names the modules used before the kernels had their own folder:
// the UTF-8 kernel's (kernels/utf8.hpp), which new code includes directly. encode_utf8_best
// needs the kernel library (glimet_kernels) linked; the rest is inline.
#pragma once

#include "kernels/utf8.hpp"

namespace glimet {

using kernels::encode_utf8_character;
using kernels::utf8_room;

// The scalar body, one character at a time.
template <typename Char> char *encode_utf8(const Char *in, size_t n, char *out) noexcept {
    return kernels::utf8_encode_scalar(in, n, out);
}

// The body chosen for this processor.
template <typename Char> char *encode_utf8_best(const Char *in, size_t n, char *out) noexcept {
    return kernels::utf8_encode(in, n, out);
}

} // namespace glimet
