#!/usr/bin/env bash
# Builds everything and runs the whole test suite: unit and integration tests
# (real Apache, Net-SNMP tools and our daemon on loopback), then the unit
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
#   scripts/test.sh            everything
#   scripts/test.sh --quick    leave out tests labelled "slow"
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
[[ "${1:-}" == "--quick" ]] && quick=1

scripts/install-deps.sh
scripts/check-format.sh

jobs=$(nproc)
exclude=()
((quick)) && exclude=(-LE slow)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure "${exclude[@]}"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DOSTRIK_SANITIZE=ON -DOSTRIK_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j"$jobs" --output-on-failure -L unit "${exclude[@]}"
