#!/usr/bin/env bash
# Refreshes the seed corpora of the libFuzzer harnesses, fuzz/corpus/
# (flat_fuzzer) and fuzz/corpus-classes/ (classes_fuzzer), from what a run of
# scripts/fuzz.sh found (build-fuzz/corpus*/) and the present seeds: a merge
# (-set_cover_merge=1) of both, from which a few inputs are picked greedily,
# each the one that adds the most program counters not yet covered, until MAX
# of them (default 30) or nothing more is covered. Needed whenever a harness
# reads its input differently: a seed means its calls only to the harness it
# was found with.
#
#   scripts/fuzz.sh 600 && scripts/fuzz-seeds.sh [MAX]
set -euo pipefail
cd "$(dirname "$0")/.."
max=${1:-30}
export ASAN_OPTIONS=max_allocation_size_mb=256:allocator_may_return_null=1:detect_leaks=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for pair in flat_fuzzer:corpus classes_fuzzer:corpus-classes; do
  harness=build-fuzz/fuzz/${pair%%:*} corpus=${pair#*:}
  mkdir -p "$work/$corpus" "build-fuzz/$corpus"
  "$harness" -set_cover_merge=1 -max_len=4096 "$work/$corpus" "build-fuzz/$corpus" "fuzz/$corpus" >/dev/null 2>&1
  for f in "$work/$corpus"/*; do
    "$harness" -runs=0 -print_pcs=1 "$f" 2>&1 | grep -o 'NEW_PC: 0x[0-9a-f]*' | sort -u | sed "s|^NEW_PC: |${f##*/} |"
  done >"$work/$corpus.pcs"
  picked=$(awk -v max="$max" '
    { pcs[$1] = pcs[$1] " " $2 }
    END {
      for (k = 0; k < max; k++) {
        best = ""; most = 0
        for (f in pcs) {
          if (f in taken) continue
          gain = 0; n = split(pcs[f], a, " ")
          for (i = 1; i <= n; i++) if (!(a[i] in got)) gain++
          if (gain > most) { most = gain; best = f }
        }
        if (best == "") break
        taken[best] = 1; print best
        n = split(pcs[best], a, " "); for (i = 1; i <= n; i++) got[a[i]] = 1
      }
    }' "$work/$corpus.pcs")
  rm -f "fuzz/$corpus"/*
  mkdir -p "fuzz/$corpus"
  for f in $picked; do cp "$work/$corpus/$f" "fuzz/$corpus/"; done
  echo "fuzz-seeds.sh: fuzz/$corpus: $(ls "fuzz/$corpus" | wc -l) inputs, $(du -sh "fuzz/$corpus" | cut -f1)" >&2
done
