#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (ASan+UBSan) and runs each
# for a bounded time from its seed corpus. Any crash, sanitizer report or
# broken invariant fails the script; the input that caused it is left in the
# work directory and named in the output. Targets run side by side, one per
# processor.
#
#   scripts/fuzz.sh [--build] [SECONDS] [TARGET ...]
#       --build  only build the targets (scripts/test.sh does it early, in
#                the background)
#       SECONDS  time per target (default: $FUZZ_SECONDS, else 60)
#       TARGET   names without _fuzz (default: every fuzz/*_fuzz.cpp)
#   FUZZ_BUILD_DIR  build directory (default build-fuzz)
#   FUZZ_KEEP=1     keep the work directory (new corpus entries, logs)
#
# The seeds in fuzz/corpus/<target>/ are copied to a temporary directory
# first, so a run never changes the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build_only=0
if [[ "${1:-}" == "--build" ]]; then
  build_only=1
  shift
fi
seconds=${FUZZ_SECONDS:-60}
if [[ $# -gt 0 && "$1" =~ ^[0-9]+$ ]]; then
  seconds=$1
  shift
fi
build=${FUZZ_BUILD_DIR:-build-fuzz}

targets=("$@")
if ((${#targets[@]} == 0)); then
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name%_fuzz}")
  done
fi

scripts/install-deps.sh

source scripts/configure-build.sh
CC=clang CXX=clang++ configure_build "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSTRIK_BUILD_FUZZ=ON -DOSTRIK_BUILD_TESTS=OFF -DOSTRIK_BUILD_BENCH=OFF -DOSTRIK_BUILD_HOST=OFF
cmake --build "$build" -j"$(nproc)" --target "${targets[@]/%/_fuzz}" >/dev/null
((build_only)) && exit 0

work=$(mktemp -d "${TMPDIR:-/tmp}/ostrik-fuzz.XXXXXX")
if [[ "${FUZZ_KEEP:-0}" != 1 ]]; then
  trap 'rm -rf "$work"' EXIT
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Runs one target and writes "executions seconds status" to its result file.
run_target() {
  local target=$1
  local binary="$build/fuzz/${target}_fuzz"
  local corpus="$work/$target/corpus"
  mkdir -p "$corpus" "$work/$target/artifacts"
  if [[ -d "fuzz/corpus/$target" ]]; then
    cp -r "fuzz/corpus/$target/." "$corpus/"
  fi
  local options=(-max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048
    -artifact_prefix="$work/$target/artifacts/")
  if [[ -f "fuzz/dict/$target.dict" ]]; then
    options+=(-dict="$root/fuzz/dict/$target.dict")
  fi
  local log="$work/$target/log"
  local start=$SECONDS
  local status=0
  "$binary" "${options[@]}" "$corpus" >"$log" 2>&1 || status=$?
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "${runs:-?} $((SECONDS - start)) $status" >"$work/$target/result"
}

# As many targets at once as there are processors: each still gets its full
# time, and the stage takes a fraction of the wall time of one after another.
failed=()
total_start=$SECONDS
parallel=$(nproc)
running=0
for target in "${targets[@]}"; do
  if ((running >= parallel)); then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
wait || true

printf '%-18s %10s %8s %s\n' target executions seconds result
for target in "${targets[@]}"; do
  log="$work/$target/log"
  read -r runs elapsed status <"$work/$target/result" 2>/dev/null || {
    runs='?' elapsed='?' status=1
  }
  if ((status == 0)); then
    result=ok
  else
    result="FAILED (exit $status)"
    failed+=("$target")
  fi
  printf '%-18s %10s %8s %s\n' "$target" "$runs" "$elapsed" "$result"
  if ((status != 0)); then
    grep -E 'ERROR|SUMMARY|invariant broken|runtime error|Test unit written' "$log" | head -20 || true
    echo "--- last lines of $log:"
    tail -40 "$log" || true
    # The crashing input stays for reproduction and for the seed corpus.
    trap - EXIT
    echo "work directory kept: $work"
  fi
done
echo "total: $((SECONDS - total_start)) s"

if ((${#failed[@]})); then
  echo "fuzzing found problems in: ${failed[*]}" >&2
  exit 1
fi
