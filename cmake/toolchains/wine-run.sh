#!/usr/bin/env bash
# Runs one Windows program under wine for ctest:
#   wine-run.sh [--wine PATH] [--prefix DIR] program.exe [args...]
# PATH is the wine loader: /usr/lib/wine/wine64 (the default) for 64-bit
# programs, /usr/lib/wine/wine (Debian's wine32:i386) for 32-bit ones.
# The wine prefix (DIR, else $WINEPREFIX) is created on first use, once, under
# a lock so that parallel tests do not race. No display, no stdin and no
# Mono/Gecko installer, so nothing can wait for a person. The program's exit
# code is passed on; a crash or a program wine cannot load gives non-zero.
# Wine's debugger is kept out: when it catches a crash, the program may exit
# with code 0.
set -euo pipefail

prefix=${WINEPREFIX:-}
wine=${ORVIK_WINE64:-/usr/lib/wine/wine64}
while [[ ${1:-} == --wine || ${1:-} == --prefix ]]; do
  case $1 in
    --wine) wine=$2 ;;
    --prefix) prefix=$2 ;;
  esac
  shift 2
done
if [[ -z $prefix || $# -eq 0 ]]; then
  echo "usage: wine-run.sh [--wine PATH] [--prefix DIR] program.exe [args...]" >&2
  exit 2
fi

if [[ ! -x $wine && $wine == */wine64 ]]; then
  wine=$(command -v wine64 || true)
fi
if [[ -z $wine || ! -x $wine ]]; then
  echo "wine-run.sh: wine loader ${wine:-wine64} not found (Debian packages wine64, wine32:i386)" >&2
  exit 127
fi

export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
unset DISPLAY WAYLAND_DISPLAY

# A prefix counts as made only once its system DLLs are in place: wineboot
# now and then stops early (seen as "could not load kernel32.dll") yet leaves
# system.reg behind, and every later program would fail in that prefix.
ready=$prefix/.wine-run-ready
if [[ ! -f $ready ]]; then
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  for attempt in 1 2 3; do
    [[ -f $ready ]] && break
    rm -rf "$prefix"
    "$wine" wineboot -i </dev/null >"$prefix.init.log" 2>&1 || true
    WINEPREFIX=$prefix "${wine%/*}/wineserver" -w >/dev/null 2>&1 || true
    if [[ -f $prefix/system.reg && -f $prefix/drive_c/windows/system32/kernel32.dll ]]; then
      touch "$ready"
    else
      echo "wine-run.sh: creating the wine prefix failed (attempt $attempt of 3):" >&2
      cat "$prefix.init.log" >&2
    fi
  done
  [[ -f $ready ]] || exit 1
  exec 9>&-
fi

# Wine reports an unhandled exception on stderr; should the exit code still
# say 0, the report decides.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
set +e
{ "$wine" "$@" </dev/null 2>&1 1>&3 3>&- | tee "$errors" >&2; } 3>&1
rc=${PIPESTATUS[0]}
set -e
if ((rc == 0)) && grep -q '^wine: Unhandled' "$errors"; then
  echo "wine-run.sh: $1 crashed but exited with 0; counted as a failure" >&2
  rc=1
fi
exit "$rc"
