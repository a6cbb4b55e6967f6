#!/usr/bin/env bash
# Checks that the plug-in DLL for 32-bit Windows exports exactly the host's
# four entry points, undecorated (no stdcall "@n" suffix, no leading
# underscore), and nothing else: no other name and no export by ordinal only.
#
# usage: check-exports.sh path/to/Orvik7316.dll
# Exit code 0 when the table is right, 1 when it is not or cannot be read.
# OBJDUMP overrides the objdump used (default i686-w64-mingw32-objdump).
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: check-exports.sh path/to/Orvik7316.dll" >&2
  exit 2
fi
dll=$1
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
expected=$'GetDeviceFrequency\nGetDeviceName\nGetDeviceType\nGetDllDevice'

fail() {
  echo "check-exports: $dll: $*" >&2
  exit 1
}

[[ -f $dll ]] || fail "no such file"
header=$("$objdump" -f "$dll" 2>&1) || fail "not readable as a PE file: $header"
grep -q 'file format pei-i386' <<<"$header" || fail "not a 32-bit x86 PE file"
dump=$("$objdump" -p "$dll" 2>&1) || fail "objdump -p failed: $dump"
grep -q '^There is an export table' <<<"$dump" || fail "no export table"

# "Number in:" gives the size of the address table; every entry of it must be
# one of the named exports, else something is exported by ordinal only.
address_count=$(awk '/^Number in:/ { n = 1; next }
                     n && /Export Address Table/ { print $NF; exit }' <<<"$dump")
[[ $address_count =~ ^[0-9a-fA-F]+$ ]] || fail "export address table size not found"

names=$(awk '/^\[Ordinal\/Name Pointer\] Table/ { t = 1; next }
             t && /^[ \t]*$/ { exit }
             t { print $NF }' <<<"$dump" | LC_ALL=C sort)

if [[ $names != "$expected" ]]; then
  echo "check-exports: $dll: exported names differ" >&2
  echo "  expected: $(tr '\n' ' ' <<<"$expected")" >&2
  echo "  found:    $(tr '\n' ' ' <<<"$names")" >&2
  exit 1
fi
if ((16#$address_count != 4)); then
  fail "$((16#$address_count)) exports in the address table, 4 named"
fi
echo "check-exports: $dll: exports GetDeviceFrequency GetDeviceName GetDeviceType GetDllDevice, nothing else"
