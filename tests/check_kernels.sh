#!/bin/sh
# The windowed outputs' digests (tests/windowed_kernels_digest.cpp) with the
# kernels this machine chooses and with the baseline ones: the same lines, or
# the differing ones and status 1. On a machine without AVX2 both runs take
# the baseline copies. With a second argument, a file of pinned digests, the
# lines must also be those, so that work on the kernels' speed (which changes
# both copies alike) cannot move a bit unseen; the pinned lines hold for this
# machine's C library (the tables and twiddles take its sine and cosine),
# another platform may need its own: print them with the program itself.
set -eu
chosen=$("$1")
baseline=$(POWERQUALITY_KERNELS=baseline "$1")
if [ "$chosen" != "$baseline" ]; then
  echo "the AVX2 and the baseline kernels differ:"
  printf '%s\n' "$chosen" > "${TMPDIR:-/tmp}/kernels.$$.chosen"
  printf '%s\n' "$baseline" | diff "${TMPDIR:-/tmp}/kernels.$$.chosen" - || true
  rm -f "${TMPDIR:-/tmp}/kernels.$$.chosen"
  exit 1
fi
printf '%s\n' "$chosen"
echo "the same bits with either kernels"
if [ $# -ge 2 ]; then
  if [ "$chosen" != "$(cat "$2")" ]; then
    echo "the digests differ from the pinned ones ($2):"
    printf '%s\n' "$chosen" | diff "$2" - || true
    exit 1
  fi
  echo "the pinned bits"
fi
