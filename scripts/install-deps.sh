#!/usr/bin/env bash
# Installs the Debian 12 packages that the build and every test leg need.
# Returns at once when all of them are present already.
set -euo pipefail

packages=(
  cmake ninja-build g++
  libgtest-dev libgmock-dev googletest libbenchmark-dev libcli11-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine64 wine32:i386
  qemu-user crossbuild-essential-i386
  # the reference host and the tools its tests start
  libserialport-dev nlohmann-json3-dev libsimdjson-dev libgps-dev libpcap-dev libxml2-dev zlib1g-dev libcsv-dev
  gpsd tshark chromium libxml2-utils
  # the campaign: GeoPackage through GDAL (its samples straight through SQLite),
  # UTM through PROJ, ogrinfo and sqlite3 for its tests
  libgdal-dev libsqlite3-dev libproj-dev gdal-bin sqlite3
  # the live view: its web server, and the DevTools client its browser test drives Chromium with
  libcpp-httplib-dev python3-websocket
  # fuzzing and coverage
  clang libclang-rt-14-dev gcovr
)

missing=()
for p in "${packages[@]}"; do
  if [[ $(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null) != installed ]]; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# 32-bit wine runs the tests of the 32-bit Windows build.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
