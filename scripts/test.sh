#!/usr/bin/env bash
# Installs what the build and the tests need when it is missing
# (scripts/setup.sh), builds the library, its tests, benchmarks, examples and
# Python package in build/ (the tree scripts/demo.sh uses) with warnings as
# errors, runs the tests (ctest: the GoogleTest suite, the C hosts and the
# export check; then pytest: the Python package against the build tree) and
# prints the counts of both.
#
# Every part is asked for explicitly, so that a build/ configured before the
# test packages were installed (scripts/demo.sh on a fresh machine) is
# configured again with them, and a part whose packages are missing fails the
# configure with the packages it needs instead of being left out in silence.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build test
scripts/configure.sh -DPOWERQUALITY_BUILD_TESTS=ON -DPOWERQUALITY_BUILD_BENCHMARKS=ON \
  -DPOWERQUALITY_BUILD_EXAMPLES=ON -DPOWERQUALITY_BUILD_PYTHON=ON
cmake --build build -j"$(nproc)"

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
ctest --test-dir build --output-on-failure -j"$(nproc)" | tee "$logs/ctest"

# The Python package, against the build tree, with the interpreter it was
# built for.
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' build/CMakeCache.txt)
python=${python:-/usr/bin/python3}
if ! "$python" -c 'import pytest' 2>/dev/null; then
  echo "test.sh: $python has no pytest (Debian: python3-pytest, which scripts/setup.sh test installs)" >&2
  exit 1
fi
PYTHONPATH="$PWD/build/python" "$python" -m pytest -q -rs python/tests | tee "$logs/pytest"

echo "test.sh: C++ and C (ctest): $(grep -E 'tests passed, [0-9]+ tests failed' "$logs/ctest" | tail -n 1)"
echo "test.sh: Python (pytest): $(tail -n 1 "$logs/pytest")"
