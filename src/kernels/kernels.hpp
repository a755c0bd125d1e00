// The kernels: plain data turned into plain text or bytes, free of Python, so that a small
// binary of their own tests and fuzzes them and any architecture builds them. Each kernel has
// one name and one header; its scalar body, which runs anywhere, sits beside its SIMD bodies
// (the long ones in a .cpp of the same name). Which processors have which bodies:
//
//   kernel      header          scalar   x86-64                        aarch64
//   escape      escape.hpp      yes      SSE2 (every one)              NEON (every one)
//   mark_scan   mark_scan.hpp   yes      SSE2 (every one)              NEON (every one)
//   int_text    int_text.hpp    yes      -                             -
//   float_repr  float_repr.hpp  yes      -                             -
//   utf8        utf8.hpp        yes      AVX-512 F, BW, VBMI2 (probed) -
//   sha256      sha256.hpp      yes      SHA extensions (probed)       ARMv8 SHA-2 (probed)
//
// select() probes the processor once, when a module is imported, and picks each kernel's body.
// GLIMET_SIMD in the environment then holds kernels to their scalar bodies, as a processor
// without the instructions would run: "off" every kernel, or a comma-separated list such as
// "no-utf8,no-sha256" those named. Until select() runs, every kernel runs its scalar body.
#pragma once

#include <bit>
#include <cstdint>

// Words of text are stored and read as the processors named above order their bytes.
static_assert(std::endian::native == std::endian::little,
              "the kernels store text words little-endian");

// The one spelling of each instruction set the kernels test for.
#if defined(__x86_64__)
#define GLIMET_X86_64 1
#elif defined(__aarch64__)
#define GLIMET_AARCH64 1
#endif

namespace glimet::kernels {

enum class Body : uint8_t { scalar, sse2, neon, avx512_vbmi2, sha_extensions, armv8_sha2 };

// The body each kernel runs. Each shared object holds its own copy, set by its own select().
struct Selection {
    Body escape = Body::scalar;
    Body mark_scan = Body::scalar;
    Body int_text = Body::scalar;
    Body float_repr = Body::scalar;
    Body utf8 = Body::scalar;
    Body sha256 = Body::scalar;
};

inline Selection selection;

// Probes the processor and reads GLIMET_SIMD (`setting`, when given, in its place); sets
// `selection` and returns it.
const Selection &select(const char *setting = nullptr) noexcept;

// What the processor has, whatever GLIMET_SIMD says.
Selection available() noexcept;

// The kernels by name, for reporting what was chosen: {"escape", &Selection::escape}, ...
struct Named {
    const char *name;
    Body Selection::*body;
};
inline constexpr Named kernel_names[] = {{"escape", &Selection::escape},
                                         {"mark_scan", &Selection::mark_scan},
                                         {"int_text", &Selection::int_text},
                                         {"float_repr", &Selection::float_repr},
                                         {"utf8", &Selection::utf8},
                                         {"sha256", &Selection::sha256}};

// "scalar", "sse2", "neon", "avx512-vbmi2", "sha-extensions" or "armv8-sha2".
const char *body_name(Body body) noexcept;

} // namespace glimet::kernels
