// The SHA-256 kernel (FIPS 180-4): a digest made from data fed a piece at a time. Its bodies
// (scalar, the x86 SHA extensions, ARMv8's SHA-2 instructions) differ only in how they
// compress 64-byte blocks; sha256.cpp holds them, and the body kernels::selection names runs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace glimet::kernels {

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

// The digest of data[0:size], written to digest[0:32].
void sha256(const unsigned char *data, size_t size, unsigned char digest[32]) noexcept;

} // namespace glimet::kernels
