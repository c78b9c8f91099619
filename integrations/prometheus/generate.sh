#!/usr/bin/env bash
# Regenerates snmp.yml from generator.yml and the MIB with
# prometheus-snmp-generator (Debian package prometheus-snmp-exporter).
#
#   generate.sh BASE-MIB-DIR          rewrites snmp.yml
#   generate.sh --check BASE-MIB-DIR  fails when the committed snmp.yml differs
#
# BASE-MIB-DIR holds SNMPv2-SMI, SNMPv2-TC and SNMPv2-CONF. Only that
# directory and the project's mib/ are read, so that MIBs installed on the
# machine cannot change the result.
set -euo pipefail
check=0
if [[ ${1:-} == --check ]]; then
  check=1
  shift
fi
(($# == 1)) || { echo "usage: $0 [--check] BASE-MIB-DIR" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
base=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$here/generator.yml" "$work/"
(cd "$work" && MIBDIRS="$base:$here/../../mib" \
  prometheus-snmp-generator --fail-on-parse-errors --log.level=warn generate -o snmp.yml)
if ((check)); then
  if ! diff -u "$here/snmp.yml" "$work/snmp.yml"; then
    echo "snmp.yml is not what generator.yml and the MIB make; run: $0 $1" >&2
    exit 1
  fi
else
  cp "$work/snmp.yml" "$here/snmp.yml"
fi
