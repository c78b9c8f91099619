#!/usr/bin/env bash
# Builds the Debian package ostrik (and ostrik-dbgsym) the Debian way, from a
# copy of this source tree, and checks it with lintian; --piuparts tests its
# installation, upgrade, removal and purge in a clean Debian 12 chroot as well.
#
#   scripts/package.sh [--piuparts] [OUTDIR]     (OUTDIR: build/package)
#   scripts/package.sh --piuparts-only [OUTDIR]  piuparts on the package that
#                                                is already in OUTDIR
#
# The packages and the lintian and piuparts logs are left in OUTDIR. The
# copy is made because dpkg-buildpackage writes its results beside the tree
# it builds. lintian must find no error and no warning. piuparts (as root)
# needs a chroot of Debian 12: the first run makes one with debootstrap from
# the Debian mirror that apt uses here (or OSTRIK_DEBIAN_MIRROR) and keeps
# it as a tarball in /var/cache/ostrik-piuparts; later runs start from it.
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
piuparts=0
build=1
case "${1:-}" in
  --piuparts) piuparts=1 && shift ;;
  --piuparts-only) piuparts=1 build=0 && shift ;;
esac
out=$(realpath -m "${1:-$source_dir/build/package}")
started=$SECONDS

build_and_check() {
  rm -rf "$out/src"
  mkdir -p "$out/src/ostrik"
  # The tree without version control, build directories and earlier in-tree
  # package builds.
  tar -C "$source_dir" --exclude=./.git --exclude='./build*' --exclude='./obj-*' \
    --exclude=./debian/ostrik --exclude=./debian/tmp --exclude=./debian/.debhelper \
    -cf - . | tar -C "$out/src/ostrik" -xf -

  # ccache, where there is one, through CMake's launcher variables.
  if command -v ccache >/dev/null 2>&1; then
    export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
  fi
  export DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}"
  (cd "$out/src/ostrik" && dpkg-buildpackage -us -uc -b) >"$out/build.log" 2>&1 || {
    tail -40 "$out/build.log" >&2
    echo "package: dpkg-buildpackage failed; the log is $out/build.log" >&2
    exit 1
  }
  rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo
  mv "$out"/src/*.deb "$out"/src/*.changes "$out"/src/*.buildinfo "$out"/
  rm -rf "$out/src"
  echo "package: built in $((SECONDS - started)) s:" "$out"/*.deb

  changes=$(ls "$out"/*.changes)
  echo "package: lintian $changes"
  status=0
  lintian --fail-on error,warning "$changes" >"$out/lintian.log" 2>&1 || status=$?
  cat "$out/lintian.log"
  if ((status)); then
    echo "package: lintian found errors or warnings (status $status)" >&2
    exit 1
  fi
  echo "package: lintian: no error, no warning"
}
((build)) && build_and_check

((piuparts)) || exit 0
deb=$(ls "$out"/ostrik_*.deb)
# The machine's own Debian archive, as apt's sources name it: the first
# URI (deb822 "URIs:" or a one-line "deb" entry) whose path ends in /debian.
apt_mirror() {
  cat /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null |
    awk '$1 == "URIs:" { for (i = 2; i <= NF; ++i) print $i }
         $1 == "deb" { for (i = 2; i <= NF; ++i) if ($i ~ /:\/\//) { print $i; break } }' |
    grep -m1 -E '/debian/?$' || true
}
mirror=${OSTRIK_DEBIAN_MIRROR:-$(apt_mirror)}
if [[ -z $mirror ]]; then
  echo "package: no Debian archive found in apt's sources; set OSTRIK_DEBIAN_MIRROR" >&2
  exit 1
fi
cache=/var/cache/ostrik-piuparts
base=$cache/bookworm.tar.gz
mkdir -p "$cache"
# --warn-on-leftovers-after-purge: systemd, which the chroot gets for
# systemd-sysusers, leaves its own directories (/var/lib/private, ...) when it
# is purged with ostrik; the package test checks that ostrik leaves nothing.
chroot_args=(--basetgz="$base")
[[ -f $base ]] || chroot_args=(--save="$base")
started=$SECONDS
echo "package: piuparts $deb (log: $out/piuparts.log)"
if piuparts --distribution=bookworm --mirror="$mirror main" "${chroot_args[@]}" \
  --warn-on-leftovers-after-purge "$deb" >"$out/piuparts.log" 2>&1; then
  echo "package: piuparts passed in $((SECONDS - started)) s"
else
  tail -60 "$out/piuparts.log" >&2
  echo "package: piuparts failed after $((SECONDS - started)) s" >&2
  exit 1
fi
