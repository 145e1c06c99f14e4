#!/usr/bin/env bash
# The Python package's option in one scratch tree, configured again and again
# as a machine's packages change: pybind11 hidden from CMake stands for a
# machine where it is not installed yet (the demo's configure on a fresh
# machine).
#
#   tests/check_auto_options.sh SOURCE_DIR PYTHON [GENERATOR]
#
# Prints each case; the status is non-zero when one fails.
set -euo pipefail
source=${1:?usage: $0 SOURCE_DIR PYTHON [GENERATOR]}
python=${2:?usage: $0 SOURCE_DIR PYTHON [GENERATOR]}
generator=${3:-Unix Makefiles}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tree="$work/tree"

failures=0
# case NAME EXPECTED [cmake arguments...]: EXPECTED is "built", "not built",
# or "error:TEXT" for a configure that must fail with TEXT in its output.
case_() {
  local name=$1 expected=$2 got
  shift 2
  if cmake -S "$source" -B "$tree" -G "$generator" -DPython3_EXECUTABLE="$python" -DPOWERQUALITY_BUILD_TESTS=OFF \
      -DPOWERQUALITY_BUILD_BENCHMARKS=OFF -DPOWERQUALITY_BUILD_EXAMPLES=OFF "$@" > "$work/log" 2>&1; then
    cmake --build "$tree" --target help > "$work/targets"
    if grep -q '[ .]powerquality_python$' "$work/targets"; then got="built"; else got="not built"; fi
  else
    got="error"
    [[ $expected == error:* ]] && grep -qF -- "${expected#error:}" "$work/log" && got=$expected
  fi
  if [ "$got" = "$expected" ]; then
    echo "ok: $name: $got"
  else
    echo "FAIL: $name: expected $expected, got $got" >&2
    cat "$work/log" >&2
    failures=$((failures + 1))
  fi
}

case_ "pybind11 missing at the first configure" "not built" -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=ON
case_ "pybind11 installed since, next configure" "built" -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=OFF
case_ "explicitly off" "not built" -DPOWERQUALITY_BUILD_PYTHON=OFF
case_ "explicitly off, configured again" "not built"
case_ "explicitly on, pybind11 missing" "error:python3-pybind11" -DPOWERQUALITY_BUILD_PYTHON=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=ON
case_ "back to AUTO, pybind11 installed" "built" -DPOWERQUALITY_BUILD_PYTHON=AUTO -DCMAKE_DISABLE_FIND_PACKAGE_pybind11=OFF
[ "$failures" -eq 0 ]
