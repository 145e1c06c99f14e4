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
#          (scripts/check-dll-exports.sh), and the C hosts of tests/ (*.c),
#          built as Windows programs against the DLL, run under Wine.
#
#   scripts/build-targets.sh [m32|mingw|all]     (default all)
#
# Needs g++-multilib, qemu-user-static, g++-mingw-w64-i686, googletest
# (the sources in /usr/src/googletest, or POWERQUALITY_GTEST_SOURCE_DIR) and
# wine with wine32:i386 (the i386 architecture added to dpkg): the `cross`
# group of scripts/setup.sh. Without wine the mingw target fails, saying so.
# Build trees: build-m32/ and build-mingw/ (Wine's prefix in build-mingw/wine).
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
  run_c_hosts_under_wine
}

# The C hosts, compiled as the C hosts of a Linux build are (C11, warnings as
# errors, no contraction) with the toolchain's flags, linked to the DLL's
# import library and run beside the DLL under Wine: the DLL driven as a
# Windows program drives it. Each prints "N passed, N failed".
run_c_hosts_under_wine() {
  echo "== C hosts against powerquality.dll under Wine"
  if ! command -v wine >/dev/null 2>&1; then
    echo "build-targets.sh: wine not found, the DLL's C hosts cannot run (Debian: dpkg --add-architecture i386," \
      "then apt-get install wine wine32:i386; scripts/setup.sh cross does both)" >&2
    return 1
  fi
  local hosts=build-mingw/c-hosts source name output status failures=0
  mkdir -p "$hosts"
  cp build-mingw/powerquality.dll "$hosts/"
  export WINEPREFIX="$PWD/build-mingw/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  for source in tests/*.c; do
    name=$(basename "$source" .c)
    i686-w64-mingw32-gcc-posix -std=c11 -O2 -Wall -Wextra -Werror -ffp-contract=off -msse2 -mfpmath=sse -mstackrealign \
      -Iinclude -Itests "$source" -Lbuild-mingw -lpowerquality -o "$hosts/$name.exe"
    status=0
    output=$(cd "$hosts" && wine "./$name.exe" 2>&1) || status=$?
    echo "$name.exe: ${output##*$'\n'} (status $status)"
    if [ "$status" -ne 0 ]; then
      printf '%s\n' "$output" >&2
      failures=$((failures + 1))
    fi
  done
  [ "$failures" -eq 0 ]
}

case "$which" in
  m32) build_m32 ;;
  mingw) build_mingw ;;
  all) build_m32 && build_mingw ;;
  *) echo "usage: $0 [m32|mingw|all]" >&2; exit 2 ;;
esac
