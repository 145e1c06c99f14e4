#!/usr/bin/env bash
# Builds the library, its tests, benchmarks and examples with warnings as
# errors, runs the tests, and checks what the shared library exports.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOWERQUALITY_WERROR=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure
# The Python package, against the build tree, when it was built.
if ls build/python/powerquality/_core*.so >/dev/null 2>&1; then
  PYTHONPATH="$PWD/build/python" /usr/bin/python3 -m pytest -q python/tests
fi
