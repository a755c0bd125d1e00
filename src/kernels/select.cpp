// The one probe of the processor, and the one reading of GLIMET_SIMD (see kernels.hpp).
#include "kernels/kernels.hpp"

#include <cstdlib>
#include <cstring>
#include <string_view>

#if defined(GLIMET_X86_64)
#include <cpuid.h>
#elif defined(GLIMET_AARCH64) && defined(__linux__)
#include <sys/auxv.h>
#endif

namespace glimet::kernels {

Selection available() noexcept {
    Selection found;
#if defined(GLIMET_X86_64)
    found.escape = found.mark_scan = Body::sse2; // part of every x86-64
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return found;
    bool ssse3 = ecx & bit_SSSE3, sse41 = ecx & bit_SSE4_1, popcnt = ecx & bit_POPCNT;
    bool osxsave = ecx & bit_OSXSAVE;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return found;
    if (ssse3 && sse41 && (ebx & bit_SHA)) found.sha256 = Body::sha_extensions;
    bool avx512 = (ebx & bit_AVX512F) && (ebx & bit_AVX512BW) && (ebx & bit_BMI2) &&
                  (ecx & bit_AVX512VBMI2) && popcnt && osxsave;
    if (avx512) {
        // The system must save the registers too: SSE, AVX and AVX-512 state.
        uint32_t low = 0, high = 0;
        __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
        if ((low & 0xE6) == 0xE6) found.utf8 = Body::avx512_vbmi2;
    }
#elif defined(GLIMET_AARCH64)
    found.escape = found.mark_scan = Body::neon; // part of every aarch64
#if defined(__linux__) && defined(HWCAP_SHA2)
    if (getauxval(AT_HWCAP) & HWCAP_SHA2) found.sha256 = Body::armv8_sha2;
#endif
#endif
    return found;
}

const Selection &select(const char *setting) noexcept {
    Selection chosen = available();
    if (!setting) setting = std::getenv("GLIMET_SIMD");
    // "off", or "no-<kernel>" items separated by commas; anything else is not a switch.
    std::string_view rest = setting ? setting : "";
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        for (const Named &kernel : kernel_names)
            if (item == "off" || (item.starts_with("no-") && item.substr(3) == kernel.name))
                chosen.*kernel.body = Body::scalar;
    }
    selection = chosen;
    return selection;
}

const char *body_name(Body body) noexcept {
    switch (body) {
    case Body::sse2:
        return "sse2";
    case Body::neon:
        return "neon";
    case Body::avx512_vbmi2:
        return "avx512-vbmi2";
    case Body::sha_extensions:
        return "sha-extensions";
    case Body::armv8_sha2:
        return "armv8-sha2";
    default:
        return "scalar";
    }
}

} // namespace glimet::kernels
