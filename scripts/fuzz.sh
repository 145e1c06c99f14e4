#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/ and runs them for the given
# number of seconds in all (default 60), two thirds for the module's flat
# interface (fuzz/flat_fuzzer.cpp, seeds in fuzz/corpus/) and one third for
# those of the frequency tracker, the voltage event detector, the interval
# aggregator, the rapid voltage change detector and the flickermeter
# (fuzz/classes_fuzzer.cpp, seeds in fuzz/corpus-classes/). New
# inputs go to build-fuzz/corpus/ and build-fuzz/corpus-classes/, crashes and
# timeouts to build-fuzz/artifacts/ (those of the classes named classes-*);
# the status is non-zero on a finding of either.
#
#   scripts/fuzz.sh [SECONDS] [extra libFuzzer flags...]
#
# To replay a finding: build-fuzz/fuzz/flat_fuzzer FILE (or classes_fuzzer);
# POWERQUALITY_FUZZ_TRACE=1 prints its calls. After a harness changes how it
# reads its input, scripts/fuzz-seeds.sh picks new seeds from a run's finds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
[ $# -gt 0 ] && shift
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -lt 2 ]; then
  echo "fuzz.sh: SECONDS must be a whole number of at least 2, not '$seconds'" >&2
  exit 2
fi
module_seconds=$(( (seconds * 2 + 2) / 3 ))
classes_seconds=$(( seconds - module_seconds ))
scripts/setup.sh build sanitize
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOWERQUALITY_WERROR=ON \
  -DPOWERQUALITY_BUILD_FUZZER=ON -DPOWERQUALITY_BUILD_TESTS=OFF -DPOWERQUALITY_BUILD_BENCHMARKS=OFF \
  -DPOWERQUALITY_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target flat_fuzzer classes_fuzzer
mkdir -p build-fuzz/corpus build-fuzz/corpus-classes build-fuzz/artifacts
# Allocations above 256 MB fail as they would on a machine short of memory
# (the library must answer them with a status code, not crash); the limits
# keep one input within 10 s and the process within 3 GB.
export ASAN_OPTIONS=${ASAN_OPTIONS:-max_allocation_size_mb=256:allocator_may_return_null=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# ASan warns on every refused allocation; those lines are dropped.
run() {
  local harness=$1 time=$2 prefix=$3
  shift 3
  build-fuzz/fuzz/"$harness" -max_total_time="$time" -timeout=10 -rss_limit_mb=3072 -max_len=4096 -len_control=0 \
    -print_final_stats=1 -artifact_prefix=build-fuzz/artifacts/"$prefix" "$@" \
    2> >(grep -v 'AddressSanitizer failed to allocate' >&2)
}
status=0
echo "fuzz.sh: flat_fuzzer for ${module_seconds} s" >&2
run flat_fuzzer "$module_seconds" "" "$@" build-fuzz/corpus fuzz/corpus || status=$?
echo "fuzz.sh: classes_fuzzer for ${classes_seconds} s" >&2
run classes_fuzzer "$classes_seconds" classes- "$@" build-fuzz/corpus-classes fuzz/corpus-classes || {
  s=$?
  [ "$status" -eq 0 ] && status=$s
}
exit "$status"
