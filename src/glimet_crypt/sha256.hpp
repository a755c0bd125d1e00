// SHA-256 on the processor's SHA extensions, for machines that have them. Python-free.
#pragma once

#include <cstddef>

namespace glimet::crypt {

// Whether this processor has the instructions sha256_native uses (x86 SHA, SSSE3, SSE4.1).
bool sha256_native_available() noexcept;

// The SHA-256 digest of data[0:size], written to digest[0:32]. Only to be called when
// sha256_native_available() says so.
void sha256_native(const unsigned char *data, size_t size, unsigned char digest[32]) noexcept;

} // namespace glimet::crypt
