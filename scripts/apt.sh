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
  local try
  for try in 1 2 3; do
    if apt-get update -qq >/tmp/ostrik-apt-update.log 2>&1; then
      return 0
    fi
    ((try < 3)) && sleep $((try * 2))
  done
  echo "apt: 'apt-get update' failed 3 times; going on with the package lists at hand:" >&2
  grep -E '^(E|W):' /tmp/ostrik-apt-update.log | head -3 | sed 's/^/apt:   /' >&2
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
  local policy=/usr/sbin/policy-rc.d own_policy=0 status=0
  if [[ ! -e $policy ]]; then
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
    own_policy=1
  fi
  apt_install "$@" || status=$?
  ((own_policy)) && rm -f "$policy"
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
