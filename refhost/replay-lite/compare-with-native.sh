#!/usr/bin/env bash
# Replays the bundled sample session with a Windows build of orvik-replay
# under wine and with a native build, and compares their records field by
# field: the plug-in's Windows DLL must write what the native library writes.
#
#   compare-with-native.sh WINDOWS-BUILD-DIR NATIVE-BUILD-DIR [WINE-LOADER]
#
# NATIVE-BUILD-DIR is configured and built here (the replay core only).
# WINE-LOADER defaults to /usr/lib/wine/wine, 32-bit wine. The two runs use
# different time zones on purpose: the records' time stamps come from the
# capture's UTC offset, never from the machine's zone.
set -euo pipefail

windows=${1:?usage: compare-with-native.sh WINDOWS-BUILD-DIR NATIVE-BUILD-DIR [WINE-LOADER]}
native=${2:?usage: compare-with-native.sh WINDOWS-BUILD-DIR NATIVE-BUILD-DIR [WINE-LOADER]}
wine=${3:-/usr/lib/wine/wine}
windows=$(realpath -m "$windows")
native=$(realpath -m "$native")
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
sample=$root/refhost/samples/sample-session.orvcap
work=$native/replay-compare

cmake -S "$root" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release -DORVIK_BUILD_TESTS=OFF \
  -DORVIK_BUILD_REFHOST=OFF -DORVIK_BUILD_REPLAY_CORE=ON >/dev/null
cmake --build "$native" -j "${ORVIK_JOBS:-2}" --target orvik-replay >/dev/null

rm -rf "$work"
TZ=America/New_York "$native/bin/orvik-replay" "$sample" --out "$work/native"
TZ=Asia/Kolkata "$root/cmake/toolchains/wine-run.sh" --wine "$wine" --prefix "$windows/wineprefix" \
  "$windows/bin/orvik-replay.exe" "$sample" --out "$work/windows"
"$native/bin/orvik-replay" --compare "$work/native/session.jsonl" "$work/windows/session.jsonl"
cmp "$work/native/session.csv" "$work/windows/session.csv"
echo "compare-with-native: the Windows replay wrote the native replay's records and CSV"
