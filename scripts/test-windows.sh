#!/usr/bin/env bash
# The Windows job: installs the MinGW-w64 cross compilers and Wine, cross-
# builds ostrik.dll, varnock.dll, varnock-walk.exe and the unit tests for
# Windows, checks the DLLs' exports and imports, runs the unit tests under
# Wine, then walks a real Apache 2.4 (started here, on the Linux side) with
# varnock-walk.exe and compares the answers with `varnockd --dump` of the
# native build.
# The tests run as 32-bit Windows programs where 32-bit Wine can be
# installed, else as 64-bit ones (scripts/install-windows-deps.sh says
# which); then the 32-bit DLLs are cross-built and checked all the same.
#   scripts/test-windows.sh            everything
#   scripts/test-windows.sh --quick    leave out tests labelled "slow"
#   scripts/test-windows.sh --build    only cross-build and check the DLLs
#                                      (scripts/test.sh does it early, in
#                                      the background)
# OSTRIK_NATIVE_BUILD=DIR uses the native build in DIR (varnockd, ostrik.so)
# instead of building them in build-win*/native. OSTRIK_WINDOWS_BITS=32 or 64
# picks the Windows to test on (default: 32 when it can be had).
# Exits 3 when no Windows toolchain can be installed here, 4 when the DLLs and
# test programs are built and checked but Wine cannot start a program here.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
quick=0
build_only=0
[[ "${1:-}" == "--quick" ]] && quick=1
[[ "${1:-}" == "--build" ]] && build_only=1
started=$SECONDS
step() { echo "== test-windows: $* ($((SECONDS - started)) s)"; }

step "installing the cross compilers and Wine"
scripts/install-deps.sh
bits=$(scripts/install-windows-deps.sh)
step "testing on ${bits}-bit Windows"

jobs=$(nproc)
source scripts/configure-build.sh
cross_configure() { # BUILD-DIR TOOLCHAIN CMAKE-OPTIONS...
  local dir=$1 toolchain=$2
  shift 2
  configure_build "$dir" --cross -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRIK_BUILD_BENCH=OFF "$@"
}
if [[ $bits == 32 ]]; then
  build=$root/build-win32
  cross_configure "$build" mingw-w64-i686.cmake -DOSTRIK_BUILD_TESTS=ON
  objdump=i686-w64-mingw32-objdump
  wine=wine
  export WINEARCH=win32
else
  build=$root/build-win64
  cross_configure "$build" mingw-w64-x86_64.cmake -DOSTRIK_BUILD_TESTS=ON
  objdump=x86_64-w64-mingw32-objdump
  # Debian keeps the 64-bit loader off the PATH.
  wine=/usr/lib/wine/wine64
  export WINEARCH=win64
fi
step "cross-building in $build"
cmake --build "$build" -j"$jobs"
if [[ $bits == 64 ]]; then
  step "cross-building the 32-bit DLLs in $root/build-win32"
  cross_configure "$root/build-win32" mingw-w64-i686.cmake -DOSTRIK_BUILD_TESTS=OFF
  cmake --build "$root/build-win32" -j"$jobs" --target ostrik varnock
fi

step "checking the DLLs' exports and imports"
exports() { "$1" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^\s*\[ *[0-9]*\] //p' | sort; }
imports() { "$1" -p "$2" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort; }
check_dll() { # OBJDUMP FORMAT DLL EXPECTED-EXPORTS ALLOWED-IMPORTS
  local objdump=$1 format=$2 dll=$3 expected=$4 allowed=$5 got
  "$objdump" -f "$dll" | grep -q "file format $format\$" ||
    { echo "$dll: not a $format DLL: $("$objdump" -f "$dll" | grep 'file format')"; return 1; }
  got=$(exports "$objdump" "$dll" | tr '\n' ' ')
  [[ "$got" == "$expected" ]] || { echo "$dll exports [$got], expected [$expected]"; return 1; }
  for import in $(imports "$objdump" "$dll"); do
    grep -qx "$import" <<<"$allowed" || { echo "$dll imports $import"; return 1; }
  done
  echo "$(basename "$dll") ($format): exports $got; imports" \
    "$(imports "$objdump" "$dll" | tr '\n' ' ')"
}
check_dlls() { # OBJDUMP FORMAT DIR
  local system_dlls=$'kernel32.dll\nmsvcrt.dll\nwsock32.dll\nuser32.dll\nadvapi32.dll'
  check_dll "$1" "$2" "$3/ostrik.dll" "branch callback finish init modinfo monitorInit " \
    "$system_dlls"$'\nvarnock.dll'
  check_dll "$1" "$2" "$3/varnock.dll" "$(sed -n 's/^  \(Varnock[A-Za-z]*\)$/\1/p' \
    host/libvarnock/varnock.def | sort | tr '\n' ' ')" "$system_dlls"$'\npsapi.dll'
}
check_dlls i686-w64-mingw32-objdump pei-i386 "$root/build-win32/bin"
if [[ $bits == 64 ]]; then
  check_dlls "$objdump" pei-x86-64 "$build/bin"
fi

# A private Wine prefix in the build directory, quiet, made once up front;
# console programs need no display. Its wineserver is shut down at the end.
((build_only)) && exit 0

export WINEPREFIX=$build/wine WINEDEBUG=-all
work=
cleanup() {
  if [[ -n "$work" ]]; then
    scripts/apache-instance.sh stop "$work/apache" || true
    rm -rf "$work"
  fi
  wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
step "preparing the Wine prefix $WINEPREFIX"
# wineboot's own exit status says little: with 64-bit Wine alone it can end
# with the status of the 32-bit half it fails to start (c0000135, "DLL not
# found", whose low byte is 53) after it has made a prefix that serves the
# 64-bit programs well. What counts is that the prefix is there; the unit
# tests then show whether Wine runs our programs.
if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  wineboot_status=0
  "$wine" wineboot -i >"$build/wineboot.log" 2>&1 || wineboot_status=$?
  wineserver -w || true
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    echo "test-windows: wineboot (exit status $wineboot_status) made no Wine prefix;" \
      "the last lines of $build/wineboot.log:"
    tail -n 20 "$build/wineboot.log"
    exit 1
  fi
  if ((wineboot_status != 0)); then
    echo "test-windows: wineboot exited $wineboot_status but made the prefix; it said:"
    grep -v '^\s*$' "$build/wineboot.log" | tail -n 5
  fi
fi
wineserver -w || true
# Wine's own command interpreter shows whether Wine can start a program here
# at all. When it cannot, the fault is the machine's, not our programs': the
# stage says so loudly and ends with status 4, which the test command reports
# as "built and checked, not run".
if ! probe=$("$wine" cmd.exe /c echo wine-runs 2>&1) || [[ "$probe" != *wine-runs* ]]; then
  echo "test-windows: Wine cannot start its own cmd.exe on this machine; it said:"
  tail -n 20 <<<"$probe"
  [[ -f "$build/wineboot.log" ]] && { echo "and wineboot said:"; tail -n 20 "$build/wineboot.log"; }
  exit 4
fi

step "running the unit tests under ${bits}-bit Wine"
exclude=()
((quick)) && exclude=(-LE slow)
# Two programs per processor: the longest ones mostly wait on sockets.
ctest --test-dir "$build" -j"$((jobs * 2))" --output-on-failure "${exclude[@]}"

step "varnock-walk.exe refuses what is no module"
expect_refusal() { # TEXT ARGS...
  local text=$1 out status=0
  shift
  out=$("$wine" "$build/bin/varnock-walk.exe" "$@" 2>&1 >/dev/null) || status=$?
  [[ $status == 1 && "$out" == *"$text"* ]] ||
    { echo "varnock-walk.exe $*: status $status, said: $out"; return 1; }
}
expect_refusal "no module to load"
expect_refusal "cannot load module" --module 'C:\no\such\module.dll'
expect_refusal "is not a module" --module "$("$wine" winepath -w "$build/bin/varnock.dll")"

step "building varnockd for the comparison"
native=${OSTRIK_NATIVE_BUILD:-}
if [[ -z "$native" || ! -x "$native/host/varnockd/varnockd" || ! -f "$native/ostrik.so" ]]; then
  native=$build/native
  configure_build "$native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRIK_BUILD_TESTS=OFF \
    -DOSTRIK_BUILD_BENCH=OFF
  cmake --build "$native" -j"$jobs" --target varnockd ostrik
fi

step "walking a real Apache with varnock-walk.exe under ${bits}-bit Wine"
work=$(mktemp -d /tmp/ostrik-windows.XXXXXX)
chmod 755 "$work"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
scripts/apache-instance.sh setup "$work/apache" "$port" ostrik secret
# Sizes that show in KB: a document root of 10048 bytes in files (9 KB; no
# subdirectory, whose own size Linux counts and Windows does not), and an
# access log that starts at 5000 bytes.
head -c 10000 /dev/zero >"$work/apache/htdocs/big.bin"
head -c 5000 /dev/zero | tr '\0' '#' >"$work/apache/logs/access_log"
scripts/apache-instance.sh start "$work/apache"
mkdir -p "$work/conf"
echo "apache $port ostrik secret 60" >"$work/conf/ostrik.cf"
chmod 600 "$work/conf/ostrik.cf"
# Let Apache settle its children after start-up and a first status request.
python3 - "$port" <<'PY'
import base64, sys, time, urllib.request
request = urllib.request.Request(f"http://127.0.0.1:{sys.argv[1]}/server-status?auto")
request.add_header("Authorization", "Basic " + base64.b64encode(b"ostrik:secret").decode())
for _ in range(50):
    try:
        urllib.request.urlopen(request, timeout=5).read()
        break
    except OSError:
        time.sleep(0.1)
time.sleep(2)
PY

"$native/host/varnockd/varnockd" --dump --config-dir "$work/conf" --module "$native/ostrik.so" \
  >"$work/before.txt"
"$wine" "$build/bin/varnock-walk.exe" --config-dir "$("$wine" winepath -w "$work/conf")" \
  --module "$("$wine" winepath -w "$build/bin/ostrik.dll")" >"$work/windows.txt"
"$native/host/varnockd/varnockd" --dump --config-dir "$work/conf" --module "$native/ostrik.so" \
  >"$work/after.txt"
tr -d '\r' <"$work/windows.txt" | grep -E "^(NAME|ostrik|apache[A-Za-z]+ +$port )"
python3 scripts/compare-dumps.py "$work/before.txt" "$work/windows.txt" "$work/after.txt" "$port"
step "done"
