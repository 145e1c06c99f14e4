#!/usr/bin/env bash
# Builds the libFuzzer harness of the flat interface (fuzz/flat_fuzzer.cpp)
# with clang, AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz/,
# and runs it for the given number of seconds (default 60) from the seed
# corpus fuzz/corpus/. New inputs go to build-fuzz/corpus/, crashes and
# timeouts to build-fuzz/artifacts/; the status is non-zero on a finding.
#
#   scripts/fuzz.sh [SECONDS] [extra libFuzzer flags...]
#
# To replay a finding: build-fuzz/fuzz/flat_fuzzer FILE
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
scripts/setup.sh build sanitize
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOWERQUALITY_WERROR=ON \
  -DPOWERQUALITY_BUILD_FUZZER=ON -DPOWERQUALITY_BUILD_TESTS=OFF -DPOWERQUALITY_BUILD_BENCHMARKS=OFF \
  -DPOWERQUALITY_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target flat_fuzzer
mkdir -p build-fuzz/corpus build-fuzz/artifacts
# Allocations above 256 MB fail as they would on a machine short of memory
# (the library must answer them with a status code, not crash); the limits
# keep one input within 10 s and the process within 3 GB.
export ASAN_OPTIONS=${ASAN_OPTIONS:-max_allocation_size_mb=256:allocator_may_return_null=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# ASan warns on every refused allocation; those lines are dropped.
status=0
build-fuzz/fuzz/flat_fuzzer -max_total_time="$seconds" -timeout=10 -rss_limit_mb=3072 -max_len=4096 -len_control=0 \
  -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/ "$@" build-fuzz/corpus fuzz/corpus \
  2> >(grep -v 'AddressSanitizer failed to allocate' >&2) || status=$?
exit "$status"
