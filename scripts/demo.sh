#!/usr/bin/env bash
# The main job: installs what the build needs when it is missing
# (scripts/setup.sh), builds the library and the demo in build/ (the tree that
# scripts/test.sh uses too) and runs the demo with the given arguments:
#
#   scripts/demo.sh                         synthesised three-phase grid
#   scripts/demo.sh --csv FILE --rate HZ    a recording (see --help)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" build
"$root/scripts/configure.sh"
cmake --build "$root/build" -j"$(nproc)" --target powerquality_demo >/dev/null
exec -a "$0" "$root/build/examples/powerquality_demo" "$@"   # its usage names the script run
