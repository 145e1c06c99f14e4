#!/usr/bin/env bash
# Builds and tests the 32-bit x86 targets of the library, whose records are laid
# out for 4-byte pointers:
#
#   m32    Linux i386 (-m32): library, tests and examples with warnings as
#          errors; the tests run under qemu-i386-static, so the host kernel
#          needs no 32-bit support. Google Benchmark has no 32-bit package, so
#          the benchmarks are left out; GoogleTest is built from its sources.
#   mingw  32-bit Windows: powerquality.dll cross-built with MinGW-w64 with
#          warnings as errors, then its export table is checked
#          (scripts/check-dll-exports.sh). Wine is not needed: nothing is run.
#
#   scripts/build-targets.sh [m32|mingw|all]     (default all)
#
# Needs g++-multilib, qemu-user-static, g++-mingw-w64-i686 and googletest
# (the sources in /usr/src/googletest, or POWERQUALITY_GTEST_SOURCE_DIR).
# Build trees: build-m32/ and build-mingw/.
set -euo pipefail
cd "$(dirname "$0")/.."

which=${1:-all}
jobs=$(nproc)
gtest_source=${POWERQUALITY_GTEST_SOURCE_DIR:-/usr/src/googletest}

# The toolchain file would fall back to a 64-bit build only if -m32 were
# dropped; make sure the binaries really are 32-bit x86.
expect_elf32() {
  local file
  for file in "$@"; do
    if ! readelf -h "$file" | grep -q 'Class:[[:space:]]*ELF32' ||
       ! readelf -h "$file" | grep -q 'Machine:[[:space:]]*Intel 80386'; then
      echo "$file is not a 32-bit x86 ELF file" >&2
      return 1
    fi
  done
}

build_m32() {
  echo "== Linux i386 (-m32), tests under qemu-i386-static"
  cmake -S . -B build-m32 \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-i386.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOWERQUALITY_WERROR=ON \
    -DPOWERQUALITY_BUILD_BENCHMARKS=OFF -DPOWERQUALITY_BUILD_PYTHON=OFF \
    -DPOWERQUALITY_GTEST_SOURCE_DIR="$gtest_source"
  cmake --build build-m32 -j"$jobs"
  expect_elf32 build-m32/libpowerquality.so build-m32/tests/powerquality_tests
  ctest --test-dir build-m32 --output-on-failure
}

build_mingw() {
  echo "== 32-bit Windows DLL (MinGW-w64)"
  cmake -S . -B build-mingw \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release -DPOWERQUALITY_WERROR=ON \
    -DPOWERQUALITY_BUILD_TESTS=OFF -DPOWERQUALITY_BUILD_BENCHMARKS=OFF -DPOWERQUALITY_BUILD_EXAMPLES=OFF \
    -DPOWERQUALITY_BUILD_PYTHON=OFF
  cmake --build build-mingw -j"$jobs"

  local names=(scripts/dll-exports.txt)
  [ -f tests/flat_exports.txt ] && names+=(tests/flat_exports.txt)
  # The -m32 shared library is compared with only when it was just built from
  # the same sources.
  local compare=()
  [ "$which" = all ] && compare=(--elf build-m32/libpowerquality.so)
  scripts/check-dll-exports.sh "${compare[@]}" build-mingw/powerquality.dll "${names[@]}"
}

case "$which" in
  m32) build_m32 ;;
  mingw) build_mingw ;;
  all) build_m32 && build_mingw ;;
  *) echo "usage: $0 [m32|mingw|all]" >&2; exit 2 ;;
esac
