#!/usr/bin/env bash
# The demo: builds ostrik and the agent daemon, starts a private Apache on a
# loopback port (mod_status, mod_info, Basic authentication), writes an
# ostrik.cf for it, starts varnockd with the module and walks the ostrik
# subtree. Then it keeps serving until Ctrl-C, and stops everything it
# started.
#
#   scripts/demo.sh [--once] [--snmp-port PORT]
#     --once            walk once and exit (for scripts)
#     --snmp-port PORT  the agent's UDP port on 127.0.0.1 (default 1161)
#   OSTRIK_BUILD_DIR names the build directory (default: build).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

once=0
snmp_port=1161
while (($#)); do
  case "$1" in
    --once) once=1 ;;
    --snmp-port) snmp_port=${2:?--snmp-port needs a port}; shift ;;
    -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown option $1 (try --help)" >&2; exit 2 ;;
  esac
  shift
done

say() { printf '\n== %s\n' "$*"; }

# The package manager's and the compiler's output go to a log file, one line
# a step on the screen; a step that fails shows the end of the log and keeps
# it.
log=$(mktemp /tmp/ostrik-demo-XXXXXX.log)
quietly() {
  if ! "$@" >>"$log" 2>&1; then
    echo "demo: '$*' failed; the last lines of $log:" >&2
    tail -n 20 "$log" >&2
    exit 1
  fi
}

say "Installing what is needed (packages and the base MIB modules; output in $log)"
quietly scripts/install-deps.sh
base_mibs=$(scripts/install-mibs.sh --check 2>>"$log") || {
  echo "demo: the base MIB modules are missing; see $log" >&2
  exit 1
}

build=${OSTRIK_BUILD_DIR:-build}
say "Building the module and the agent daemon in $build (output in $log)"
quietly cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
quietly cmake --build "$build" -j"$(nproc)" --target varnockd ostrik
build=$(cd "$build" && pwd)
varnockd=$build/host/varnockd/varnockd
module=$build/ostrik.so
rm -f "$log"

work=$(mktemp -d /tmp/ostrik-demo-XXXXXX)
chmod 755 "$work"
daemon_pid=
cleanup() {
  trap - EXIT INT TERM HUP
  # A reader that went away (demo.sh | head) must not cut the clean-up short.
  trap "" PIPE
  set +e
  say "Stopping varnockd and Apache"
  if [[ -n "$daemon_pid" ]] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -TERM "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
  fi
  "$root/scripts/apache-instance.sh" stop "$work/apache" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 0' INT TERM HUP PIPE

# A free TCP port on 127.0.0.1 for Apache.
apache_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
user=ostrik
password=$(head -c 12 /dev/urandom | base64 | tr -dc 'A-Za-z0-9')

say "Starting Apache on 127.0.0.1:$apache_port"
scripts/apache-instance.sh setup "$work/apache" "$apache_port" "$user" "$password"
scripts/apache-instance.sh start "$work/apache"

say "Writing $work/conf/ostrik.cf"
mkdir -p "$work/conf"
cat >"$work/conf/ostrik.cf" <<CF
# keyword  port  user  password  document-root check interval (seconds)
apache $apache_port $user $password 60
CF
chmod 600 "$work/conf/ostrik.cf"
sed "s/$password/********/" "$work/conf/ostrik.cf"

say "Starting varnockd on udp:127.0.0.1:$snmp_port"
"$varnockd" --config-dir "$work/conf" --module "$module" "udp:127.0.0.1:$snmp_port" &
daemon_pid=$!

# Names from OSTRIK-MIB, with the base modules that it imports.
mib_args=(-M "$base_mibs:$root/mib" -m OSTRIK-MIB)
agent=127.0.0.1:$snmp_port
subtree=1.3.6.1.4.1.32473.16.3

for _ in $(seq 50); do
  kill -0 "$daemon_pid" 2>/dev/null || { echo "demo: varnockd did not start" >&2; exit 1; }
  snmpget -v2c -c public -r 0 -t 0.5 "$agent" "$subtree.1.0" >/dev/null 2>&1 && break
  sleep 0.2
done

say "snmpwalk -v2c -c public $agent $subtree"
snmpwalk -v2c -c public -t 70 "${mib_args[@]}" "$agent" "$subtree"

if ((once)); then
  exit 0
fi

cat <<TEXT

== The agent keeps serving. In another terminal, try:
   snmpget -v2c -c public ${mib_args[*]} $agent OSTRIK-MIB::ostrikVersion.0
   snmpwalk -v2c -c public ${mib_args[*]} $agent $subtree
   snmpbulkwalk -v2c -c public $agent $subtree
TEXT
echo "   snmptable -v2c -c public ${mib_args[*]} $agent OSTRIK-MIB::apacheServerPerfTable"
echo "   Apache answers on http://127.0.0.1:$apache_port/ ; press Ctrl-C to stop everything."
wait "$daemon_pid"
