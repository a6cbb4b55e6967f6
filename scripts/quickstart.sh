#!/usr/bin/env bash
# Installs what is missing, builds the reference host orvik-host and the
# plug-in natively, and runs it. Without arguments it runs a 20-second live
# session against the simulated handset and GPS, and names the folder that
# holds its outputs:
#   orvik-host live --simulate --duration 20 --out out/quickstart-session
# With arguments, they are passed to orvik-host instead.
#
# usage: scripts/quickstart.sh [orvik-host arguments...]
# ORVIK_OUT picks the build folders' parent (default <repo>/out); the build is
# the native leg's folder, so scripts/test-all.sh reuses it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${ORVIK_OUT:-$root/out}
dir=$out/native

bash "$root/scripts/install-deps.sh" >&2
{
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVIK_BUILD_TESTS=ON -DORVIK_BUILD_BENCH=ON
  # orvik-host loads the plug-in from its own folder, as a host would.
  cmake --build "$dir" -j "${ORVIK_JOBS:-2}" --target orvik-host Orvik7316
} >&2

if (($# > 0)); then
  exec "$dir/bin/orvik-host" "$@"
fi
session=$out/quickstart-session
rm -rf "$session"
status=0
"$dir/bin/orvik-host" live --simulate --duration 20 --out "$session" || status=$?
echo "The session's outputs are in $session: session.csv, session.jsonl, the maps" \
  "(session.geojson, .gpx, .kml) and the drive report: open $session/report.html" >&2
exit "$status"
