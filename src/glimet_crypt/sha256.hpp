// SHA-256 on the processor's SHA extensions, for machines that have them. Python-free.
#pragma once

#include <cstddef>
#include <cstdint>

namespace glimet::crypt {

// Whether this processor has the instructions sha256_native uses (x86 SHA, SSSE3, SSE4.1).
bool sha256_native_available() noexcept;

// A SHA-256 digest made from data fed a piece at a time. Only to be used when
// sha256_native_available() says so.
class Sha256 {
public:
    Sha256() noexcept;
    void update(const unsigned char *data, size_t size) noexcept;
    // Writes the digest of everything fed to digest[0:32].
    void finish(unsigned char digest[32]) noexcept;

private:
    uint32_t state_[8];
    unsigned char pending_[64]; // the bytes fed since the last whole block
    size_t pending_size_ = 0;
    uint64_t size_ = 0; // bytes fed in all
};

// The SHA-256 digest of data[0:size], written to digest[0:32]. Only to be called when
// sha256_native_available() says so.
void sha256_native(const unsigned char *data, size_t size, unsigned char digest[32]) noexcept;

} // namespace glimet::crypt
