#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need.
set -euo pipefail
source "$(dirname "$0")/apt.sh"
apt_install \
  build-essential cmake g++ clang clang-format libclang-rt-14-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  libsnmp-dev snmp snmpd smitools \
  apache2 procps python3 \
  dpkg-dev file fakeroot systemd init-system-helpers man-db
