#!/bin/sh
# The windowed outputs' digests (tests/windowed_kernels_digest.cpp) with the
# kernels this machine chooses and with the baseline ones: the same lines, or
# the differing ones and status 1. On a machine without AVX2 both runs take
# the baseline copies.
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
