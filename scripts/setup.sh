#!/usr/bin/env bash
# Installs the Debian packages that a build of powerquality needs, when they
# are missing. Used by scripts/demo.sh, scripts/test.sh and .ci/run, so that a
# fresh Debian machine needs nothing but this checkout.
#
#   scripts/setup.sh [GROUP...]        (default: build test)
#
# Groups:
#   build     compiler, CMake and what the library itself needs
#   test      GoogleTest, Google Benchmark, the Python package's test tools,
#             what pip needs to install it offline (setuptools, wheel, venv),
#             Dask's distributed (with cryptography) for the cluster test,
#             and pandas and xarray for the tables as DataFrames and Datasets
#   cross     the 32-bit x86 targets (-m32 under qemu, the MinGW-w64 DLL, and
#             Wine to run programs against the DLL: wine32 is an i386
#             package, so the i386 architecture is added to dpkg first)
#   sanitize  clang with its sanitizer and libFuzzer runtimes
#   browser   headless Chromium, which renders the EN 50160 report in its test
#   all       every group
#
# As root, missing packages are installed with apt-get; otherwise with sudo
# when it needs no password. Failing both, the script prints the apt-get
# command to run and exits with status 1 if the build group is incomplete;
# for the other groups it only warns (their CMake options stay off without
# their packages, and the scripts that need them fail with a clear message).
# On a machine without dpkg nothing is checked.
set -euo pipefail

packages_build="cmake make g++ pkg-config"
packages_test="libgtest-dev googletest libbenchmark-dev python3-dev python3-pybind11 python3-numpy python3-matplotlib python3-pytest python3-h5py python3-scipy python3-setuptools python3-wheel python3-venv"
# The system's time zone data: --timezone Europe/Paris and its tests.
packages_test="$packages_test tzdata"
# Dask's distributed: analyze on a cluster, and its test on a local one;
# cryptography makes the local cluster's certificate (its connections are TLS).
packages_test="$packages_test python3-distributed python3-cryptography"
# pandas and xarray: Analysis.as_pandas() and to_xarray(), and their tests (which do not skip without them).
packages_test="$packages_test python3-pandas python3-xarray"
packages_cross="g++-multilib qemu-user-static g++-mingw-w64-i686 wine wine32:i386"
packages_sanitize="clang libclang-rt-dev"
packages_browser="chromium"

[ $# -eq 0 ] && set -- build test
[ "$*" = all ] && set -- build test cross sanitize browser

if ! command -v dpkg >/dev/null 2>&1; then
  echo "setup: no dpkg here; install the equivalents of: $(for g in "$@"; do v=packages_$g; printf '%s ' "${!v}"; done)" >&2
  exit 0
fi

missing=""
missing_build=""
for group in "$@"; do
  var=packages_$group
  if [ -z "${!var+set}" ]; then
    echo "setup: unknown group '$group' (build, test, cross, sanitize, browser, all)" >&2
    exit 2
  fi
  for p in ${!var}; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing="$missing $p"
      [ "$group" = build ] && missing_build="$missing_build $p"
    fi
  done
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  sudo=""
elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
  sudo="sudo"
else
  echo "setup: missing Debian packages:$missing" >&2
  echo "setup: install them with: sudo apt-get install -y$missing" >&2
  [ -n "$missing_build" ] && exit 1
  exit 0
fi
echo "setup: installing$missing" >&2
export DEBIAN_FRONTEND=noninteractive
# A package of another architecture (wine32:i386) needs that architecture
# known to dpkg before the package lists are read.
for p in $missing; do
  case "$p" in
    *:*)
      arch=${p##*:}
      if [ "$arch" != "$(dpkg --print-architecture)" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        echo "setup: adding the $arch architecture to dpkg" >&2
        $sudo dpkg --add-architecture "$arch"
      fi
      ;;
  esac
done
# Several scripts may install at once: wait for the lock of another apt-get.
lock="-o DPkg::Lock::Timeout=600"
# shellcheck disable=SC2086
$sudo apt-get $lock update -qq
# shellcheck disable=SC2086
$sudo apt-get $lock install -y -qq --no-install-recommends $missing
