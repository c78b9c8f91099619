#!/usr/bin/env bash
# Builds everything and runs the whole test suite:
#   1. unit and integration tests (real Apache, Net-SNMP's tools and snmpd,
#      our daemon, on loopback) in an optimised build;
#   2. the same suite again built with AddressSanitizer, UndefinedBehavior-
#      Sanitizer and LeakSanitizer, the daemon and module included, less the
#      tests labelled "slow" (they wait out time-outs and soak for minutes; the
#      code they drive is covered by the others, and stage 1 runs them);
#   2b. the daemon and the modules built with ThreadSanitizer, and the
#      daemon's integration tests that drive its threads (collections,
#      reloads, notifications, AgentX);
#   3. every fuzz target for a bounded time (FUZZ_SECONDS, default 60 each,
#      one target per processor at a time);
#   4. beside the fuzzing, the Windows build: DLLs cross-built, unit tests
#      under Wine, and a walk of a real Apache compared with varnockd --dump
#      (these mostly wait; the fuzzers take what they leave). On 32-bit
#      Windows where 32-bit Wine can be installed; else (it needs Debian's
#      i386 index, which can be out of step) on 64-bit Windows, with the
#      32-bit DLLs cross-built and checked. A loud line up front and at the
#      end says which Windows was tested, or why none was (then the other
#      stages decide; also when Wine is installed but cannot start even its
#      own cmd.exe here).
#
#   0. the Debian package: built by debhelper, checked by lintian and tested
#      by piuparts (install, upgrade, purge in a clean chroot; left out by
#      --quick); the suite's package test then installs that very package;
#
# Most tests wait (servers, time-outs, ticks) rather than compute, so ctest
# runs four of them per processor; and while a suite runs, the builds of the
# later stages (and piuparts) go on in the background at the lowest CPU
# priority, taking only the time the tests leave idle. ccache keeps every
# build's objects for the next run.
#
#   scripts/test.sh            everything (what CI runs)
#   scripts/test.sh --quick    leave out tests labelled "slow", fuzz 10 s each
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[[ "${1:-}" == "--quick" ]] && quick=1
started=$SECONDS
step() { echo; echo "== test: $* ($((SECONDS - started)) s)"; }

step "installing build and test packages"
scripts/install-deps.sh
windows_status=0
windows_bits=$(scripts/install-windows-deps.sh) || windows_status=$?
windows_line() {
  case $windows_status:$windows_bits in
    0:32) echo "!! test: WINDOWS STAGE on 32-bit Windows (32-bit Wine)" ;;
    0:64) echo "!! test: WINDOWS STAGE on 64-bit Windows (64-bit Wine): 32-bit Wine cannot be" \
      "installed on this machine, so the 32-bit DLLs are built and checked but not run" ;;
    4:*) echo "!! test: WINDOWS STAGE NOT RUN: the ${windows_bits}-bit DLLs and test programs" \
      "are built and checked, but Wine cannot start a program on this machine (see above)" ;;
    *) echo "!! test: WINDOWS STAGE LEFT OUT: no Windows toolchain (MinGW-w64 and 32- or" \
      "64-bit Wine) can be installed on this machine" ;;
  esac
}
case $windows_status in
  0 | 3) windows_line ;;
  *) exit "$windows_status" ;;
esac
scripts/check-format.sh

jobs=$(nproc)
test_jobs=$((jobs * 4))
exclude=()
((quick)) && exclude=(-LE slow)
source scripts/configure-build.sh

# Work in the background: each job's output goes to its log, and its exit
# status to a file when it ends; await waits for that file, and on a failure
# shows the log's end and fails the run. Jobs still running when the script
# ends are stopped.
background=$(mktemp -d "${TMPDIR:-/tmp}/ostrik-test.XXXXXX")
stop_background() {
  local pid
  for pid in $(jobs -p); do
    kill -- -"$pid" 2>/dev/null || kill "$pid" 2>/dev/null || true
  done
  rm -rf "$background"
}
trap stop_background EXIT
run_logged() { # NAME COMMAND...: runs the command (or function), logged
  local name=$1 status=0
  shift
  ("$@") >"$background/$name.log" 2>&1 || status=$?
  echo "$status" >"$background/$name.status"
}
in_background() { # COMMAND...: at the lowest CPU priority, in a process group of its own
  set -m
  (
    renice -n 19 -p "$BASHPID" >/dev/null
    "$@"
  ) &
  set +m
}
status_of() { # NAME: waits for the job's end and prints its exit status
  while [[ ! -f "$background/$1.status" ]]; do sleep 1; done
  cat "$background/$1.status"
}
await() { # NAME WHAT
  local started_wait=$SECONDS status
  status=$(status_of "$1")
  echo "test: $2 done in the background (waited $((SECONDS - started_wait)) s here)"
  if ((status != 0)); then
    tail -n 60 "$background/$1.log"
    echo "test: $2 failed (exit status $status); the end of its output is above" >&2
    exit "$status"
  fi
}

step "Debian package, lintian$( ((quick)) || echo "; piuparts in the background")"
# Into the package test's directory, so that the test installs these files
# rather than building them again; piuparts works in a chroot of its own.
scripts/package.sh build/package-test
((quick)) || in_background run_logged piuparts scripts/package.sh --piuparts-only build/package-test

step "optimised build"
configure_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"

# The later stages' builds, one after another, while the suites run.
asan_build() {
  configure_build build-asan -DCMAKE_BUILD_TYPE=Debug -DOSTRIK_SANITIZE=ON -DOSTRIK_BUILD_BENCH=OFF &&
    cmake --build build-asan -j"$jobs"
}
tsan_build() {
  configure_build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRIK_SANITIZE_THREAD=ON \
    -DOSTRIK_BUILD_BENCH=OFF &&
    cmake --build build-tsan -j"$jobs" --target varnockd ostrik varnock_test_module \
      daemon_snmp_test daemon_walk_test notification_test agentx_test
}
later_builds() {
  run_logged asan-build asan_build
  run_logged tsan-build tsan_build
  run_logged fuzz-build scripts/fuzz.sh --build
  if ((windows_status == 0)); then
    run_logged windows-build env OSTRIK_WINDOWS_BITS="$windows_bits" OSTRIK_NATIVE_BUILD=build \
      scripts/test-windows.sh --build
  fi
}
in_background later_builds
later_builds_group=$!

step "the full suite$( ((quick)) && echo " less its slow tests") ($test_jobs at a time)"
ctest --test-dir build -j"$test_jobs" --output-on-failure "${exclude[@]}"

step "sanitizer build (ASan, UBSan, LSan) and the suite less its slow tests"
await asan-build "the sanitizer build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan -j"$test_jobs" --output-on-failure -LE slow
unset ASAN_OPTIONS UBSAN_OPTIONS

step "ThreadSanitizer build and the daemon's threaded integration tests"
await tsan-build "the ThreadSanitizer build"
ctest --test-dir build-tsan -j"$test_jobs" --output-on-failure \
  -R '^(DaemonSnmp|DaemonWalk|DaemonWalkTest|Notifications|Agentx)\.'

# Fuzzing keeps both processors busy, while the Windows stage mostly waits
# (Wine, its tests' servers, the walk): the Windows stage runs beside the
# fuzzers, at a higher CPU priority than theirs, as soon as its build is
# done. Its output follows the fuzzing's. The fuzzers run for a set time, so
# what the Windows build still running in the background takes from them
# costs no time: it goes before them (a user who may not raise a priority
# gets the fuzzers' lowered to the build's instead).
windows_stage() {
  await windows-build "the Windows cross builds"
  local options=()
  ((quick)) && options=(--quick)
  OSTRIK_WINDOWS_BITS=$windows_bits OSTRIK_NATIVE_BUILD=build scripts/test-windows.sh "${options[@]}"
}
fuzz_nice=5
if ((windows_status == 0)); then
  step "fuzzing, and beside it the Windows build under ${windows_bits}-bit Wine"
  renice -n 0 -g "$later_builds_group" >/dev/null 2>&1 || fuzz_nice=19
  run_logged windows windows_stage &
else
  step "fuzzing"
fi
await fuzz-build "the fuzz targets' build"
fuzz_seconds=${FUZZ_SECONDS:-60}
((quick)) && fuzz_seconds=${FUZZ_SECONDS:-10}
FUZZ_SECONDS=$fuzz_seconds nice -n "$fuzz_nice" scripts/fuzz.sh

((quick)) || await piuparts "piuparts"

if ((windows_status == 0)); then
  step "the Windows stage"
  windows_status=$(status_of windows)
  cat "$background/windows.log"
  case $windows_status in
    0) step "all passed" ;;
    4) step "all other stages passed" ;;
    *) exit "$windows_status" ;;
  esac
else
  step "all other stages passed"
fi
windows_line
