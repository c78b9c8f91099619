#!/usr/bin/env bash
# Installs what the benchmarks need beyond scripts/install-deps.sh: the peers
# that ostrik is measured against (Prometheus' apache_exporter, collectd's
# apache plugin, Net-SNMP's snmpd; GoAccess and mtail for the access-log
# parser), hyperfine, and gnuplot for the plot.
# Installing a peer must leave nothing of it running: the benchmarks start
# each one themselves, with private configurations on loopback ports.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
source scripts/apt.sh
packages=(prometheus-apache-exporter collectd-core goaccess mtail hyperfine gnuplot-nox curl)
# Keep package scripts from starting the services they install.
apt_install_services "${packages[@]}"
# With policy-rc.d in place no package script starts its service; say so if
# a service is running anyway (the benchmarks start their own instances by
# bare name and never leave them behind).
for pattern in '^/usr/bin/prometheus-apache-exporter' '^/usr/sbin/collectd' '^/usr/bin/mtail'; do
  if pgrep -f "$pattern" >/dev/null 2>&1; then
    echo "install-bench-deps: note: $pattern is running (pid $(pgrep -f "$pattern" | tr '\n' ' '))" >&2
  fi
done
