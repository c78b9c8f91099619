#!/usr/bin/env bash
# Reads one generated access log of `combined` lines with three readers and
# compares the CPU time (user + system) they take:
#   ostrik   log_parse_bench --file: the module's line parser, counting
#            requests by status class and bytes sent
#   GoAccess goaccess FILE --log-format=COMBINED -o JSON (its full report)
#   mtail    --one_shot with a program that counts status classes and bytes
# Each reader runs RUNS times (default 3) on the file, already in the page
# cache; the best run counts. Prints lines per second per core and CPU
# seconds per million lines.
#
# Usage: bench/log-compare.sh [BUILD_DIR] [LINES]
# BUILD_DIR must hold bench/log_parse_bench (default build); LINES defaults
# to 2,000,000. The log (about 200 bytes a line) goes to a temporary
# directory that is removed at the end. GoAccess and mtail come from
# bench/install-bench-deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${1:-build}
lines=${2:-2000000}
runs=${RUNS:-3}
bench="$build_dir/bench/log_parse_bench"

if [[ ! -x $bench ]]; then
  echo "no benchmark at $bench; build the target log_parse_bench first" >&2
  exit 1
fi
for tool in goaccess mtail; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool is missing: run bench/install-bench-deps.sh" >&2
    exit 1
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/ostrik-log-compare.XXXXXX")
trap 'rm -rf "$work"' EXIT
log="$work/access.log"

echo "generating $lines combined lines..."
"$bench" --generate "$lines" "$log"
echo "log: $(du -h "$log" | cut -f1), $(wc -l <"$log") lines"
cat "$log" >/dev/null # into the page cache for every reader

mkdir "$work/progs"
cat >"$work/progs/access.mtail" <<'MTAIL'
counter access_requests_total by status_class
counter access_bytes_total

/^\S+ \S+ \S+ \[[^\]]+\] "(?:[^"\\]|\\.)*" (?P<status_class>[1-5])\d\d ((?P<size>\d+)|-) "(?:[^"\\]|\\.)*" "(?:[^"\\]|\\.)*"$/ {
  access_requests_total[$status_class]++
  $size > 0 {
    access_bytes_total += $size
  }
}
MTAIL

# Runs a reader RUNS times; prints the best user + system seconds.
best_cpu() {
  local name=$1
  shift
  local best=
  for ((run = 1; run <= runs; run++)); do
    /usr/bin/time -f '%U %S' -o "$work/time" "$@" >"$work/$name.out" 2>"$work/$name.err" || {
      echo "$name failed; its last lines:" >&2
      tail -5 "$work/$name.err" >&2
      exit 1
    }
    local cpu
    cpu=$(awk '{ printf "%.3f", $1 + $2 }' "$work/time")
    if [[ -z $best ]] || awk -v a="$cpu" -v b="$best" 'BEGIN { exit !(a < b) }'; then
      best=$cpu
    fi
  done
  echo "$best"
}

declare -A cpu
cpu[ostrik]=$(best_cpu ostrik "$bench" --file "$log")
echo "ostrik:   $(cat "$work/ostrik.out")"
cpu[goaccess]=$(best_cpu goaccess goaccess "$log" --log-format=COMBINED --no-global-config \
  -o "$work/report.json")
echo "goaccess: $(grep -o '"total_requests": *[0-9]*' "$work/report.json" | head -1)"
cpu[mtail]=$(best_cpu mtail mtail --one_shot --one_shot_format=prometheus --logtostderr \
  --progs "$work/progs" --logs "$log")
echo "mtail:    $(grep -E '^access_(requests|bytes)_total' "$work/mtail.out" | tr '\n' ' ')"

echo
printf '%-9s %12s %16s %20s\n' reader 'CPU s' 'lines/s/core' 'CPU s/million lines'
for reader in ostrik goaccess mtail; do
  awk -v name="$reader" -v cpu="${cpu[$reader]}" -v lines="$lines" 'BEGIN {
    if (cpu > 0) {
      printf "%-9s %12.3f %16.0f %20.3f\n", name, cpu, lines / cpu, cpu * 1e6 / lines
    } else { # below the 10 ms that time(1) can tell: use more lines
      printf "%-9s %12s %16s %20s\n", name, "< 0.01", "-", "-"
    }
  }'
done
