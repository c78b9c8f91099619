#!/usr/bin/env bash
# Makes sure the base MIB modules that OSTRIK-MIB imports (SNMPv2-SMI,
# SNMPv2-TC and SNMPv2-CONF) are on this machine, and prints the directory
# that holds them.
#
# Debian main does not ship them (snmp-mibs-downloader is non-free and
# downloads at install time). When a MIB directory of the machine already
# holds all three (snmp-mibs-downloader's, say), that directory is used.
# Otherwise they come from the npm package net-snmp, which carries them as
# lib/mibs/*.mib: the version and each file's SHA-256 are pinned below, and a
# file that does not match is refused.
#
#   scripts/install-mibs.sh          install when needed; print the directory
#   scripts/install-mibs.sh --check  only print the directory; exit 1 when
#                                    no directory holds the three modules
#
# OSTRIK_BASE_MIBS_DIR overrides where the modules are installed.
set -euo pipefail
source "$(dirname "$0")/apt.sh"

install_dir=${OSTRIK_BASE_MIBS_DIR:-/usr/local/share/ostrik/base-mibs}
npm_package=net-snmp@3.29.2
modules=(SNMPv2-SMI SNMPv2-TC SNMPv2-CONF)
declare -A sha256=(
  [SNMPv2-SMI]=edbcf785e0d8fac9e5c0a2a6b28d969c39d05a35b5cd4769501511b6e818bfa4
  [SNMPv2-TC]=ad458652cccf79eac7ed81b69e1a9c770e232bd226ff8b35f3a49f99e82b82a1
  [SNMPv2-CONF]=9b8ff8def9de47c9bd03d7fc128f26dbef0fcbb3c3363e7abad67fbd4ec02a49
)
# Where the base modules may already be, ours first; keep in step with the
# search list of OSTRIK_BASE_MIBS_DIR in CMakeLists.txt.
candidates=("$install_dir" /var/lib/mibs/ietf /usr/share/snmp/mibs/ietf /usr/share/snmp/mibs)

# True when directory $1 holds every base module, with or without a suffix.
holds_all() {
  local module suffix found
  for module in "${modules[@]}"; do
    found=0
    for suffix in .mib .txt ''; do
      [[ -f "$1/$module$suffix" ]] && found=1 && break
    done
    ((found)) || return 1
  done
}

for dir in "${candidates[@]}"; do
  if holds_all "$dir"; then
    echo "$dir"
    exit 0
  fi
done
if [[ "${1:-}" == "--check" ]]; then
  echo "install-mibs: no directory holds ${modules[*]}; run $0" >&2
  exit 1
fi

command -v npm >/dev/null 2>&1 || apt_install npm >&2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! (cd "$work" && npm pack --silent "$npm_package") >"$work/npm.log" 2>&1; then
  echo "install-mibs: 'npm pack $npm_package' failed:" >&2
  tail -5 "$work/npm.log" >&2
  exit 1
fi
tar -xzf "$work"/net-snmp-*.tgz -C "$work"
for module in "${modules[@]}"; do
  file=$work/package/lib/mibs/$module.mib
  actual=$(sha256sum "$file" | cut -d' ' -f1)
  if [[ "$actual" != "${sha256[$module]}" ]]; then
    echo "install-mibs: $module.mib from $npm_package has SHA-256 $actual," \
      "expected ${sha256[$module]}; not installed" >&2
    exit 1
  fi
done
mkdir -p "$install_dir"
for module in "${modules[@]}"; do
  install -m 0644 "$work/package/lib/mibs/$module.mib" "$install_dir/"
done
echo "$install_dir"
