#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and the demo need.
#   scripts/install-deps.sh           what a build needs and what the tests need
#   scripts/install-deps.sh --build   only what a build (and `cmake --install`,
#                                     `cpack`) needs
set -euo pipefail
source "$(dirname "$0")/apt.sh"

# To build the daemon, the module and the Debian package.
build_packages=(build-essential cmake g++ libsnmp-dev libssl-dev
  dpkg-dev file fakeroot)

# Only for the tests, the demo and the benchmarks: the test framework, the
# sanitizers' and fuzzers' compiler, the format check, a real Apache and
# Net-SNMP's tools and snmpd to run against, the tools that the package
# and MIB tests call, and ccache, Ninja and LLVM's linker, which keep
# scripts/test.sh's builds short.
test_packages=(ccache ninja-build lld clang clang-format libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev
  snmp snmpd smitools openssl curl apache2 procps python3 python3-yaml
  systemd init-system-helpers man-db)

# Also only for the tests, packages that bring a service: Prometheus and its
# SNMP exporter (with the generator) for the tests of integrations/prometheus,
# Net-SNMP's snmptrapd for the notification tests, and Zabbix 6.0 (server,
# PostgreSQL, and the frontend served by PHP's own command-line server) for
# the test of integrations/zabbix. The tests start their own instances on
# loopback ports, so the packages' services must not start. PHP comes as
# php-cli and php-fpm, never as Apache's module (libapache2-mod-php), which
# would switch the machine's Apache to the prefork MPM (php-fpm, named here,
# is what PHP's packages take instead; nothing of it is enabled in Apache).
test_services=(prometheus prometheus-snmp-exporter snmptrapd
  postgresql zabbix-server-pgsql php-cli php-fpm zabbix-frontend-php php-pgsql)

apt_install "${build_packages[@]}"
[[ "${1:-}" == "--build" ]] && exit 0

apt_install "${test_packages[@]}"
apt_install_services "${test_services[@]}"
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
