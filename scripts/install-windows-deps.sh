#!/usr/bin/env bash
# Installs what the Windows build and its tests need on Debian 12: the 32-bit
# MinGW-w64 cross compiler, the GoogleTest sources (built for Windows by the
# cross build itself) and Wine for 32-bit programs. Does nothing when all of
# it is there already.
#
#   scripts/install-windows-deps.sh          install; exit 1 when it cannot
#   scripts/install-windows-deps.sh --check  only tell, in seconds, whether
#                                            it is there or can be installed
#
# Exits 3, with one line on standard error saying why, when the toolchain
# cannot be had on this machine: 32-bit Wine needs the i386 architecture,
# whose index can be out of step with amd64's (a mirror sync), and then
# wine32:i386 cannot be installed until it is in step again.
set -euo pipefail
source "$(dirname "$0")/apt.sh"
packages=(
  g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686
  googletest cmake
  wine wine32:i386
)
[[ -z "$(apt_missing "${packages[@]}")" ]] && exit 0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
if ! apt_installable "${packages[@]}"; then
  echo "install-windows-deps: the Windows toolchain cannot be installed here:" \
    "apt-get cannot install $(apt_missing "${packages[@]}" | tr '\n' ' ')" >&2
  exit 3
fi
[[ "${1:-}" == "--check" ]] && exit 0
apt_install "${packages[@]}"
