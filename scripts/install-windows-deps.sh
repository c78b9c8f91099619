#!/usr/bin/env bash
# Installs what the Windows build and its tests need on Debian 12: the 32-bit
# MinGW-w64 cross compiler, the GoogleTest sources (built for Windows by the
# cross build itself) and Wine. Prints on standard output which Windows the
# tests can run on: "32" or "64". Does nothing more when all of it is there.
#
# 32-bit Wine (wine32:i386) needs Debian's i386 architecture, whose index can
# be out of step with amd64's (a mirror sync); then wine32 cannot be
# installed until it is in step again. In its place come the 64-bit cross
# compiler and 64-bit Wine, which install from amd64 alone: the tests then
# run as 64-bit Windows programs, and the 32-bit DLLs are only built.
#
#   scripts/install-windows-deps.sh          install; exit 1 when it cannot
#   scripts/install-windows-deps.sh --check  only tell, in seconds, whether
#                                            it is there or can be installed;
#                                            changes nothing on the machine
# OSTRIK_WINDOWS_BITS=32 or 64 asks for that Windows only (default: 32 when
# it can be had, else 64).
#
# Exits 3, with one line on standard error saying why, when neither can be
# had on this machine.
set -euo pipefail
source "$(dirname "$0")/apt.sh"
check=0
[[ "${1:-}" == "--check" ]] && check=1
want=${OSTRIK_WINDOWS_BITS:-}
common=(g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686 googletest cmake)
win32=("${common[@]}" wine wine32:i386)
win64=("${common[@]}" g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 wine
  wine64)

# Installs (or, with --check, only looks at) the packages of "$@"; prints
# BITS and exits when they are there, returns 1 when they cannot be had.
offer() { # BITS PACKAGES...
  local bits=$1
  shift
  if [[ -n "$(apt_missing "$@")" ]]; then
    apt_installable "$@" || return 1
    ((check)) || apt_install "$@" >&2 || exit 1
  fi
  # Installed is not enough: a kernel without 32-bit x86 support runs no
  # i386 program ("Exec format error", status 126), Wine's loader included.
  if [[ $bits == 32 ]] && ((!check)) && [[ -x /usr/lib/wine/wine ]]; then
    local status=0
    /usr/lib/wine/wine --version >/dev/null 2>&1 || status=$?
    if ((status == 126)); then
      echo "install-windows-deps: 32-bit Wine is installed but this kernel runs no 32-bit" \
        "x86 program" >&2
      return 1
    fi
  fi
  echo "$bits"
  exit 0
}

if [[ "$want" != 64 ]]; then
  if dpkg --print-foreign-architectures | grep -qx i386; then
    offer 32 "${win32[@]}" || true
  elif ((!check)); then
    # The architecture goes again when 32-bit Wine cannot be had: left in,
    # it would fail every later apt-get update while its index is out of step.
    dpkg --add-architecture i386
    offer 32 "${win32[@]}" || true
    dpkg --remove-architecture i386 2>/dev/null || true
  fi
  if dpkg --print-foreign-architectures | grep -qx i386; then
    why="apt-get cannot install $(apt_missing "${win32[@]}" | tr '\n' ' ')"
  else
    why="it needs the i386 architecture, and --check adds none"
    ((check)) || why="apt-get cannot install wine32:i386 (is the i386 index out of step?)"
  fi
  echo "install-windows-deps: 32-bit Wine cannot be installed here: $why" >&2
fi
if [[ "$want" != 32 ]]; then
  offer 64 "${win64[@]}" || true
  echo "install-windows-deps: 64-bit Wine cannot be installed here:" \
    "apt-get cannot install $(apt_missing "${win64[@]}" | tr '\n' ' ')" >&2
fi
exit 3
