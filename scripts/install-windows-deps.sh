#!/usr/bin/env bash
# Installs what the Windows build and its tests need on Debian 12: the 32-bit
# MinGW-w64 cross compiler, the GoogleTest sources (built for Windows by the
# cross build itself) and Wine for 32-bit programs. Does nothing when all of
# it is there already.
set -euo pipefail
packages=(
  g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
  googletest cmake
  wine wine32:i386
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
