#!/usr/bin/env bash
# Installs what is missing, builds the reference host orvik-host natively and
# runs it. Without arguments it cuts the sample byte stream into CR-terminated
# frames and prints each one as hex:
#   orvik-host frames --mode 0 refhost/samples/lines.txt
# With arguments, they are passed to orvik-host instead.
#
# usage: scripts/quickstart.sh [orvik-host arguments...]
# ORVIK_OUT picks the build folders' parent (default <repo>/out); the build is
# the native leg's folder, so scripts/test-all.sh reuses it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${ORVIK_OUT:-$root/out}/native

bash "$root/scripts/install-deps.sh" >&2
{
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVIK_BUILD_TESTS=ON -DORVIK_BUILD_BENCH=ON
  cmake --build "$dir" -j "${ORVIK_JOBS:-2}" --target orvik-host
} >&2

if (($# == 0)); then
  set -- frames --mode 0 "$root/refhost/samples/lines.txt"
fi
exec "$dir/bin/orvik-host" "$@"
