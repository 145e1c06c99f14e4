#!/usr/bin/env bash
# Refreshes the seed corpora of the libFuzzer harnesses, fuzz/corpus/
# (flat_fuzzer) and fuzz/corpus-classes/ (classes_fuzzer), from what a run of
# scripts/fuzz.sh found (build-fuzz/corpus*/) and the present seeds: the few
# inputs that together cover every edge the lot covers (libFuzzer's
# -set_cover_merge=1, counting edges alone: -use_counters=0). Needed whenever
# a harness reads its input differently: a seed means its calls only to the
# harness it was found with. Reproducers of findings, named repro-*, are
# kept as they are (and written again for a harness that reads differently).
#
#   scripts/fuzz.sh 600 && scripts/fuzz-seeds.sh
set -euo pipefail
cd "$(dirname "$0")/.."
export ASAN_OPTIONS=max_allocation_size_mb=256:allocator_may_return_null=1:detect_leaks=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for pair in flat_fuzzer:corpus classes_fuzzer:corpus-classes; do
  harness=build-fuzz/fuzz/${pair%%:*} corpus=${pair#*:}
  mkdir -p "$work/$corpus" "build-fuzz/$corpus"
  "$harness" -set_cover_merge=1 -use_counters=0 -max_len=4096 "$work/$corpus" "build-fuzz/$corpus" "fuzz/$corpus" 2>/dev/null
  # Reproducers of past findings (repro-*) stay, under their own names: the
  # merge would keep them only while they add an edge.
  keep=$(for r in "fuzz/$corpus"/repro-*; do [ -e "$r" ] && sha1sum <"$r" | cut -d' ' -f1; done)
  find "fuzz/$corpus" -type f ! -name 'repro-*' -delete
  for f in "$work/$corpus"/*; do
    grep -qx "$(basename "$f")" <<<"$keep" || cp "$f" "fuzz/$corpus/"
  done
  echo "fuzz-seeds.sh: fuzz/$corpus: $(find "fuzz/$corpus" -type f | wc -l) inputs" >&2
done
