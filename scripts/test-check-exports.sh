#!/usr/bin/env bash
# Self-test of check-exports.sh: builds small DLLs whose export tables are
# right or wrong in one way each, and checks that only the right one passes.
# usage: test-check-exports.sh [work-dir]
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=${1:-$(mktemp -d)}
mkdir -p "$work"
cc32=${CC32:-i686-w64-mingw32-gcc}
cc64=${CC64:-x86_64-w64-mingw32-gcc}

# name | "pass" or a piece of the expected complaint | compiler | flags |
# sed edit of the four entry points | more C source
cases=(
  "right|pass|$cc32|-Wl,--kill-at||"
  "stdcall-decorated|names differ|$cc32|||"
  "leading-underscore|names differ|$cc32|-Wl,--kill-at|s/ GetDeviceType(/ _GetDeviceType(/|"
  "missing-one|names differ|$cc32|-Wl,--kill-at|/GetDeviceFrequency/d|"
  "extra-name|names differ|$cc32|-Wl,--kill-at||__declspec(dllexport) int __stdcall GetDeviceCount(void) { return 1; }"
  "ordinal-only|4 named|$cc32|-Wl,--kill-at DEF||int Hidden(void) { return 1; }"
  "64-bit|PE file|$cc64|||"
)
four='__declspec(dllexport) const char* __stdcall GetDeviceName(void) { return "x"; }
__declspec(dllexport) int __stdcall GetDeviceType(void) { return 1; }
__declspec(dllexport) int __stdcall GetDeviceFrequency(void) { return 1; }
__declspec(dllexport) void* __stdcall GetDllDevice(void* p, void* m) { (void)p; (void)m; return 0; }'

run_case() {
  local name=$1 expect=$2 cc=$3 flags=$4 edit=$5 extra=$6 dll got
  dll=$work/$name.dll
  printf '%s\n%s\n' "$(sed -e "${edit:-}" <<<"$four")" "$extra" >"$work/$name.c"
  local args=(-shared -o "$dll" "$work/$name.c")
  if [[ $flags == *DEF* ]]; then
    # A module-definition file that also exports Hidden by ordinal, unnamed.
    printf 'EXPORTS\nGetDeviceName@0\nGetDeviceType@0\nGetDeviceFrequency@0\nGetDllDevice@8\nHidden @9 NONAME\n' >"$work/$name.def"
    args+=("$work/$name.def")
    flags=${flags/DEF/}
  fi
  # shellcheck disable=SC2086
  "$cc" "${args[@]}" $flags
  if bash "$here/check-exports.sh" "$dll" >"$work/$name.log" 2>&1; then got=pass; else got=fail; fi
  if [[ $expect == pass ]]; then
    [[ $got == pass ]] && return 0
  elif [[ $got == fail ]] && grep -qF -- "$expect" "$work/$name.log"; then
    return 0
  fi
  echo "check-exports self-test: case $name: expected $expect, got $got" >&2
  cat "$work/$name.log" >&2
  return 1
}

right=0
wrong=0
for c in "${cases[@]}"; do
  IFS='|' read -r name expect cc flags edit extra <<<"$c"
  if run_case "$name" "$expect" "$cc" "$flags" "$edit" "$extra"; then
    right=$((right + 1))
  else
    wrong=$((wrong + 1))
  fi
done
# A file that is not a PE file at all.
echo "not a dll" >"$work/text.dll"
if bash "$here/check-exports.sh" "$work/text.dll" >/dev/null 2>&1; then
  echo "check-exports self-test: case not-a-dll: expected fail, got pass" >&2
  wrong=$((wrong + 1))
else
  right=$((right + 1))
fi

echo "check-exports self-test: $right of $((right + wrong)) cases right"
((wrong == 0))
