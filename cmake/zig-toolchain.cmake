# The wheel's toolchain (make wheel): zig's clang with its own libc++, libc++abi and libunwind,
# linked in statically, built against glibc 2.28's symbols, so the modules load on any x86_64
# Linux with glibc 2.28 or newer. cmake/zig-c++ finds zig through GLIMET_ZIG.
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig-c++)
set(GLIMET_ZIG_TOOLCHAIN ON)
