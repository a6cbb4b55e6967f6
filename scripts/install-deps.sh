#!/usr/bin/env bash
# Installs the Debian 12 packages that the build and every test leg need.
# Returns at once when all of them are present already.
set -euo pipefail

packages=(
  cmake ninja-build g++
  libgtest-dev libgmock-dev googletest libbenchmark-dev libcli11-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine64
  qemu-user crossbuild-essential-i386
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
"${sudo[@]}" apt-get update
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
