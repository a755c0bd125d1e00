# Cross builds for aarch64 Linux with zig's C++ compiler (make check-aarch64): GLIMET_ZIG_TARGET
# names the target, aarch64-linux-musl for the static kernel test binary, aarch64-linux-gnu for
# the modules. cmake/zig-c++ finds zig through GLIMET_ZIG.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
set(CMAKE_CXX_COMPILER_TARGET ${GLIMET_ZIG_TARGET})
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GLIMET_ZIG_TARGET)
set(GLIMET_ZIG_TOOLCHAIN ON)
