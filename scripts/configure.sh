#!/usr/bin/env bash
# Configures build/, the one build tree that scripts/demo.sh and
# scripts/test.sh share: optimised with debug information, warnings as
# errors. Both scripts pass the same settings, so neither rebuilds what the
# other built. Extra arguments go to cmake (e.g. -DPOWERQUALITY_BUILD_TESTS=ON).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOWERQUALITY_WERROR=ON "$@" >/dev/null
