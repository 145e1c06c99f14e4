# 32-bit x86 Linux build (-m32) on an x86-64 host.
#
# The records of the library are laid out for 32-bit x86 (4-byte pointers,
# doubles aligned to 8 inside records); this build runs the whole test suite
# with that pointer width. The i386 System V ABI differs from 32-bit Windows
# in one point that matters here, the alignment of doubles inside structs,
# which the records fix per member, so a pass here means the layout holds on
# both.
#
# Host kernels without 32-bit support run the executables through
# qemu-i386-static, which ctest and gtest_discover_tests use as the emulator.
# Needs g++-multilib and qemu-user-static. There is no 32-bit GoogleTest
# package: configure with -DPOWERQUALITY_GTEST_SOURCE_DIR=/usr/src/googletest.
# Google Benchmark has no 32-bit package either: -DPOWERQUALITY_BUILD_BENCHMARKS=OFF.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# Double arithmetic in SSE2 registers, as on 32-bit Windows: the x87 default
# of i386 keeps intermediates in 80-bit registers and rounds them to double
# only when they are stored, so results would differ in the last bits from
# the 64-bit and Windows builds (and from one optimisation level to another).
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Libraries of the host (x86-64) must not be picked up; the 32-bit ones live in
# the multilib directories (lib32).
set_property(GLOBAL PROPERTY FIND_LIBRARY_USE_LIB32_PATHS ON)
set_property(GLOBAL PROPERTY FIND_LIBRARY_USE_LIB64_PATHS OFF)

find_program(POWERQUALITY_QEMU_I386 NAMES qemu-i386-static qemu-i386)
if(POWERQUALITY_QEMU_I386)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${POWERQUALITY_QEMU_I386})
endif()
