#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need.
set -euo pipefail
packages=(
  build-essential cmake g++ clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsnmp-dev snmp snmpd smitools
  apache2 procps python3
  dpkg-dev file fakeroot systemd init-system-helpers man-db
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
