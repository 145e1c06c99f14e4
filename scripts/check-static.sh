#!/usr/bin/env bash
# Builds the static library (-DBUILD_SHARED_LIBS=OFF) in its own tree,
# build-static/, and links hosts to it as an embedded host would:
#
# - one C host (tests/c_api_test.c: the module through the flat interface)
#   and one C++ host (examples/quick_start.cpp), built by CMake against the
#   target, with warnings as errors; each is run and must not load any
#   libpowerquality.so;
# - the static tree installed into a temporary prefix, and the C host
#   compiled again by hand with what `pkg-config --static` gives (the macro
#   that empties the export decoration, the C++ runtime and threads).
#
# Only the library and those hosts are built (a minute on two cores).
#
#   scripts/check-static.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
tree=build-static

cmake -S . -B "$tree" -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOWERQUALITY_WERROR=ON \
  -DPOWERQUALITY_BUILD_TESTS=ON -DPOWERQUALITY_BUILD_EXAMPLES=ON -DPOWERQUALITY_BUILD_BENCHMARKS=OFF \
  -DPOWERQUALITY_BUILD_PYTHON=OFF >/dev/null
cmake --build "$tree" -j"$(nproc)" --target powerquality powerquality_c_api_test quick_start

fail() { echo "check-static: $*" >&2; exit 1; }
[ -f "$tree/libpowerquality.a" ] || fail "no $tree/libpowerquality.a"
[ -z "$(find "$tree" -maxdepth 1 -name 'libpowerquality.so*')" ] || fail "a shared library was built in $tree"
grep -q POWERQUALITY_STATIC "$tree/tests/CMakeFiles/powerquality_c_api_test.dir/flags.make" ||
  fail "the C host was compiled without POWERQUALITY_STATIC"

run_host() {
  local host=$1
  if readelf -d "$host" | grep -q 'NEEDED.*libpowerquality'; then
    fail "$host needs a shared libpowerquality"
  fi
  "$host" > "$tree/host.txt" || { cat "$tree/host.txt" >&2; fail "$host failed"; }
  echo "check-static: $(basename "$host"): $(tail -n 1 "$tree/host.txt")"
}
run_host "$tree/tests/powerquality_c_api_test"
run_host "$tree/examples/quick_start"

# The installed static library, found through its pkg-config file.
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$tree" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name powerquality.pc)
[ -n "$pc" ] || fail "no powerquality.pc installed"
export PKG_CONFIG_PATH=$(dirname "$pc")
cflags=$(pkg-config --cflags powerquality)
libs=$(pkg-config --libs --static powerquality)
case "$cflags" in *-DPOWERQUALITY_STATIC*) ;; *) fail "pkg-config --cflags gives no -DPOWERQUALITY_STATIC: $cflags" ;; esac
# shellcheck disable=SC2086 # the flags are words
cc -std=c11 -Wall -Wextra -Werror -ffp-contract=off $cflags -I"$root/tests" "$root/tests/c_api_test.c" \
  -o "$prefix/c_host" $libs -lm
run_host "$prefix/c_host"
