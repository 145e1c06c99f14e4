#!/usr/bin/env bash
# Checks the export table of the 32-bit Windows DLL.
#
#   scripts/check-dll-exports.sh [--elf LIBRARY] DLL [NAMES_FILE...]
#
# - the DLL is PE32 for i386 and imports system DLLs only (the MinGW runtime
#   is linked in statically);
# - every name listed in the NAMES_FILEs (default scripts/dll-exports.txt) is
#   exported: exact export name, or C++ name in its demangled form;
# - with --elf, the shared library of a Linux build of the same sources: every
#   symbol that it exports is exported by the DLL too, except the typeinfo
#   name strings (_ZTS), which GCC does not export from a DLL. The DLL cannot
#   then silently lose what the Linux build exports.
set -euo pipefail

elf=""
if [ "${1:-}" = "--elf" ]; then
  elf=${2:?--elf needs a library}
  shift 2
fi
dll=${1:?usage: $0 [--elf LIBRARY] DLL [NAMES_FILE...]}
shift
if [ $# -eq 0 ]; then
  set -- "$(dirname "$0")/dll-exports.txt"
fi
prefix=${MINGW_PREFIX:-i686-w64-mingw32}
objdump="$prefix-objdump"
cxxfilt="$prefix-c++filt"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

"$objdump" -p "$dll" > "$work/headers"

format=$("$objdump" -f "$dll" | sed -n 's/.*file format //p')
[ "$format" = "pei-i386" ] || fail "$dll has file format '$format', expected pei-i386"

# Imported DLLs: system ones only (no libstdc++-6.dll, libgcc_s_*.dll,
# libwinpthread-1.dll next to the DLL).
sed -n 's/^[[:space:]]*DLL Name: //p' "$work/headers" | sort -u > "$work/imports"
while read -r imported; do
  case "${imported,,}" in
    kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ucrtbase.dll | api-ms-win-*) ;;
    *) fail "imports $imported" ;;
  esac
done < "$work/imports"

# Names from the [Ordinal/Name Pointer] table.
awk '/^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
     inside && /^[[:space:]]*\[/ { print $NF; next }
     inside { inside = 0 }' "$work/headers" | sort -u > "$work/exports"
# -n: PE names carry no extra leading underscore to strip before demangling.
"$cxxfilt" -n < "$work/exports" | sort -u > "$work/demangled"
exported=$(wc -l < "$work/exports")
[ "$exported" -gt 0 ] || fail "$dll exports nothing"

expected=0
for names_file in "$@"; do
  while IFS= read -r line || [ -n "$line" ]; do
    name=$(printf '%s' "$line" | sed 's/[[:space:]]*$//')
    case "$name" in '' | '#'*) continue ;; esac
    expected=$((expected + 1))
    if ! grep -qxF -- "$name" "$work/exports" && ! grep -qxF -- "$name" "$work/demangled"; then
      fail "not exported: $name (listed in $names_file)"
    fi
  done < "$names_file"
done

compared=0
if [ -n "$elf" ]; then
  nm -D --defined-only "$elf" | awk '{ print $NF }' | sed 's/@.*//' \
    | grep -v '^_ZTS' | sort -u > "$work/elf"
  compared=$(wc -l < "$work/elf")
  while read -r missing; do
    fail "exported by $(basename "$elf") but not by the DLL: $missing ($(c++filt "$missing"))"
  done < <(comm -23 "$work/elf" "$work/exports")
fi

echo "$(basename "$dll"): $exported exports, $expected listed names checked${elf:+, $compared ELF symbols compared}, imports: $(paste -sd' ' "$work/imports")"
if [ "$failures" -ne 0 ]; then
  echo "$failures export check(s) failed" >&2
  exit 1
fi
