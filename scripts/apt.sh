# Sourced by the install scripts: installs Debian packages that are missing,
# and copes with a package index that is out of step.
#
# A mirror in the middle of a sync (seen for Debian's i386 security index)
# makes `apt-get update` fail, and once a foreign architecture has been added
# it fails that way on every later call. So the update is tried a few times
# and then the lists at hand are used: whether a package can be had is for
# `apt-get install` to decide, not for the update of an unrelated index.

# Prints the packages of "$@" that are not installed, one a line.
apt_missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

# Refreshes the package lists once per run of a script; never fails.
apt_update() {
  [[ -n "${_apt_updated:-}" ]] && return 0
  _apt_updated=1
  local try log
  log=$(mktemp "${TMPDIR:-/tmp}/ostrik-apt-update.XXXXXX") || log=/dev/null
  for try in 1 2 3; do
    if apt-get update -qq >"$log" 2>&1; then
      [[ $log == /dev/null ]] || rm -f "$log"
      return 0
    fi
    ((try < 3)) && sleep $((try * 2))
  done
  echo "apt: 'apt-get update' failed 3 times; going on with the package lists at hand:" >&2
  # A log without an E: or W: line is no reason to fail (pipefail).
  { grep -E '^(E|W):' "$log" || true; } | head -3 | sed 's/^/apt:   /' >&2
  [[ $log == /dev/null ]] || rm -f "$log"
  return 0
}

# Installs the packages of "$@" that are missing. Returns apt-get's status.
apt_install() {
  local missing
  mapfile -t missing < <(apt_missing "$@")
  ((${#missing[@]})) || return 0
  export DEBIAN_FRONTEND=noninteractive
  apt_update
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Like apt_install, for packages that bring a service (prometheus, collectd,
# snmptrapd, ...): the tests and benchmarks start their own instances, so the
# packages' scripts must not start theirs. A policy-rc.d that refuses every
# start stands in place for the install when none is there.
apt_install_services() {
  [[ -n "$(apt_missing "$@")" ]] || return 0
  local policy=/usr/sbin/policy-rc.d status=0
  if [[ -e $policy ]]; then
    apt_install "$@" || status=$?
    return "$status"
  fi
  printf '#!/bin/sh\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  # Removed when the install is interrupted too: then the caller's traps
  # come back and the signal is raised again for them. (apt_install never
  # exits the shell: its failure is its status.)
  local saved sig
  saved=$(trap -p INT TERM HUP)
  [[ -n $saved ]] || saved=:
  for sig in INT TERM HUP; do
    # shellcheck disable=SC2064 # expanded now, on purpose
    trap "rm -f '$policy'; trap - INT TERM HUP; $saved; kill -s $sig \$\$" "$sig"
  done
  apt_install "$@" || status=$?
  rm -f "$policy"
  trap - INT TERM HUP
  eval "$saved"
  return "$status"
}

# True when every package of "$@" is installed or apt-get could install it
# now (a dry run: takes a second or two, downloads nothing).
apt_installable() {
  local missing
  mapfile -t missing < <(apt_missing "$@")
  ((${#missing[@]})) || return 0
  apt_update
  apt-get install -s -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1
}
