#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need.
set -euo pipefail
source "$(dirname "$0")/apt.sh"
packages=(
  build-essential cmake g++ clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libsnmp-dev snmp snmpd snmptrapd smitools
  apache2 procps python3
  dpkg-dev file fakeroot systemd init-system-helpers man-db)
# The tests start their own snmpd, snmptrapd and Apache on loopback ports:
# package scripts must not start the system's services of them.
if [[ -n "$(apt_missing "${packages[@]}")" ]]; then
  policy=/usr/sbin/policy-rc.d
  own_policy=0
  if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=1
  fi
  apt_install "${packages[@]}" || status=$?
  ((own_policy)) && rm -f "$policy"
  ((${status:-0} == 0)) || exit "$status"
fi
