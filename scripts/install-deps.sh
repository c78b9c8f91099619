#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need.
set -euo pipefail
source "$(dirname "$0")/apt.sh"
apt_install \
  build-essential cmake g++ clang clang-format libclang-rt-14-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  libsnmp-dev snmp snmpd smitools libssl-dev openssl curl \
  apache2 procps python3 python3-yaml \
  dpkg-dev file fakeroot systemd init-system-helpers man-db

# Prometheus and its SNMP exporter (with the generator) for the tests of
# integrations/prometheus, Net-SNMP's snmptrapd for the notification tests,
# and Zabbix 6.0 (server, frontend with PHP under Apache, PostgreSQL) for the
# test of integrations/zabbix. The tests start their own instances on
# loopback ports, so the packages' services must not start.
services=(prometheus prometheus-snmp-exporter snmptrapd
  postgresql zabbix-server-pgsql zabbix-frontend-php php-pgsql libapache2-mod-php)
apt_install_services "${services[@]}"
for program in /usr/bin/prometheus /usr/bin/prometheus-snmp-exporter /usr/sbin/snmptrapd /usr/sbin/zabbix_server; do
  if pgrep -x -f "$program( .*)?" >/dev/null 2>&1; then
    echo "install-deps: note: $program is running as a service; the tests start their own" >&2
  fi
done

# The base MIB modules that OSTRIK-MIB imports: from a package, pinned.
"$(dirname "$0")/install-mibs.sh" >/dev/null

# The Debian package: debhelper builds it (with CMake and Ninja), lintian
# checks it, piuparts tests its installation, upgrade and purge in a chroot
# that debootstrap makes (scripts/package.sh).
apt_install debhelper ninja-build pkgconf lintian piuparts debootstrap
