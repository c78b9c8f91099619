#!/usr/bin/env bash
# Runs every benchmark of ostrik and its peers, and rewrites
# docs/performance.md, docs/walk-time.png and docs/performance-data.json.
#
#   bench/run-all.sh [--no-install] [--repeats N] [--results DIR]
#     --no-install   skip bench/install-bench-deps.sh (apt-get)
#     --repeats N    repetitions of every measurement (default 5)
#     --results DIR  where the raw results go (default build-bench/bench-results)
#
# Run it by hand as root on Debian 12; it takes about a quarter of an hour.
# Everything it starts (Apache, varnockd, snmpd, apache_exporter, collectd)
# listens on 127.0.0.1 only and is stopped again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

install=1
repeats=5
build=$root/build-bench
results=$build/bench-results
while (($#)); do
  case "$1" in
    --no-install) install=0 ;;
    --repeats) repeats=${2:?--repeats needs a number}; shift ;;
    --results) results=${2:?--results needs a directory}; shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run-all: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done

say() { printf '\n== %s\n' "$*" >&2; }
started=$(date +%s)

if ((install)); then
  say "Installing the benchmarks' packages"
  bench/install-bench-deps.sh
fi

say "Building a Release tree in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
micro=(parse_bench config_bench topmod_bench footprint_bench parse_dir_bench discover_bench
       status_fetch_bench log_parse_bench)
cmake --build "$build" -j"$(nproc)" --target varnockd ostrik "${micro[@]}"

mkdir -p "$results"
rm -f "$results"/micro-*.json "$results"/e2e.json

say "Micro-benchmarks ($repeats repetitions each)"
for name in "${micro[@]}"; do
  "$build/bench/$name" --benchmark_repetitions="$repeats" \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$results/micro-$name.json" --benchmark_out_format=json
done

say "End-to-end runs"
python3 bench/e2e.py --build "$build" --out "$results/e2e.json" --repeats "$repeats"

say "Writing docs/performance.md"
python3 bench/report.py "$results" docs

say "Done in $(( ($(date +%s) - started) / 60 )) min; results in $results"
