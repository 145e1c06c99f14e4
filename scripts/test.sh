#!/usr/bin/env bash
# Installs what the build and the tests need when it is missing
# (scripts/setup.sh), builds the library, its tests, benchmarks and examples
# in build/ (the tree scripts/demo.sh uses) with warnings as errors, runs the
# tests, and checks what the shared library exports.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh build test
scripts/configure.sh -DPOWERQUALITY_BUILD_TESTS=ON -DPOWERQUALITY_BUILD_EXAMPLES=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
# The Python package, against the build tree, when it was built.
if ls build/python/powerquality/_core*.so >/dev/null 2>&1; then
  PYTHONPATH="$PWD/build/python" /usr/bin/python3 -m pytest -q python/tests
fi
