#!/usr/bin/env bash
# Compares one process snapshot of the agent library with one run of
#   ps -e -o pid,ppid,rss,vsz,time,nlwp,maj_flt
# on the same process population: starts PROCS sleeping processes (default
# 2000), runs the snapshot benchmark, times ps (hyperfine when installed,
# otherwise a timed loop), and stops the sleepers again.
#
# Usage: bench/proc_cache_vs_ps.sh [BUILD_DIR] [PROCS]
# BUILD_DIR must hold bench/host_proc_cache_bench (a Release build gives the
# fairest figures).
set -euo pipefail

build_dir=${1:-build}
procs=${2:-2000}
bench="$build_dir/bench/host_proc_cache_bench"
ps_args=(-e -o pid,ppid,rss,vsz,time,nlwp,maj_flt)
runs=30

if [[ ! -x $bench ]]; then
  echo "no benchmark at $bench; build the target host_proc_cache_bench first" >&2
  exit 1
fi

sleepers=()
stop_sleepers() {
  if ((${#sleepers[@]})); then
    kill -KILL "${sleepers[@]}" 2>/dev/null || true
    wait "${sleepers[@]}" 2>/dev/null || true
    sleepers=()
  fi
}
trap stop_sleepers EXIT

echo "starting $procs sleeping processes..."
for ((i = 0; i < procs; i++)); do
  sleep 100000 &
  sleepers+=($!)
done
echo "processes on the machine: $(ls -d /proc/[0-9]* 2>/dev/null | wc -l)"

echo
echo "== snapshot (and ps spawned from the benchmark) =="
snapshot_ms=$(VARNOCK_BENCH_PROCS=0 "$bench" --benchmark_min_time=1 \
  --benchmark_format=console 2>&1 | tee /dev/stderr |
  awk '/^BM_ProcCacheSnapshot/ { print $2 }')

echo
echo "== ps ${ps_args[*]} =="
if command -v hyperfine >/dev/null; then
  hyperfine --warmup 3 --runs "$runs" --export-json /tmp/proc_cache_vs_ps.$$.json \
    "ps ${ps_args[*]} >/dev/null"
  ps_ms=$(python3 -c 'import json,sys; print("%.1f" % (json.load(open(sys.argv[1]))["results"][0]["mean"]*1000))' \
    /tmp/proc_cache_vs_ps.$$.json)
  rm -f /tmp/proc_cache_vs_ps.$$.json
else
  ps "${ps_args[@]}" >/dev/null # warm-up
  start=$(date +%s%N)
  for ((i = 0; i < runs; i++)); do
    ps "${ps_args[@]}" >/dev/null
  done
  end=$(date +%s%N)
  ps_ms=$(awk -v ns=$((end - start)) -v n=$runs 'BEGIN { printf "%.1f", ns / n / 1e6 }')
  echo "mean of $runs runs: $ps_ms ms"
fi

echo
echo "snapshot: ${snapshot_ms} ms   ps: ${ps_ms} ms   (processes: $(ls -d /proc/[0-9]* 2>/dev/null | wc -l))"
awk -v s="$snapshot_ms" -v p="$ps_ms" 'BEGIN { if (s > 0) printf "ps takes %.1f times as long as a snapshot\n", p / s }'
