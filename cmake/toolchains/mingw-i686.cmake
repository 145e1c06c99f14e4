# Cross build of powerquality.dll for 32-bit Windows on x86 with MinGW-w64.
#
# The -posix compilers are used because the win32 thread model of this
# MinGW-w64 version has no std::mutex. The DLL links the runtime statically
# (see the top-level CMakeLists), so it depends on system DLLs only.
# Only the library is built: configure with -DPOWERQUALITY_BUILD_TESTS=OFF
# -DPOWERQUALITY_BUILD_BENCHMARKS=OFF -DPOWERQUALITY_BUILD_EXAMPLES=OFF.
# Needs g++-mingw-w64-i686.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(POWERQUALITY_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${POWERQUALITY_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${POWERQUALITY_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${POWERQUALITY_MINGW_PREFIX}-windres)

# Double arithmetic in SSE2 registers, as MSVC does for x86 by default; the
# x87 default of GCC would round intermediates differently. Callers compiled
# by MSVC keep the stack aligned to 4 bytes only, so entry points realign it
# before SSE spills.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mstackrealign")

set(CMAKE_FIND_ROOT_PATH /usr/${POWERQUALITY_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
