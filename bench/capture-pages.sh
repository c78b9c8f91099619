#!/usr/bin/env bash
# Captures the pages that the parsing benchmark reads, from a real Apache 2.4
# set up as Debian ships it: a private copy of /etc/apache2 (every module that
# Debian enables by default, its conf-enabled files and default site) with
# mod_info added, listening on a free loopback port. The answers are stored
# whole (status line, headers, body), as the module's HTTP client hands them
# to the parsers:
#   bench/data/server-info-debian.http   /server-info
#   bench/data/server-status-auto.http   /server-status?auto
#
# Usage: bench/capture-pages.sh [OUT-DIR]   (default: bench/data)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-bench/data}
mkdir -p "$out"

work=$(mktemp -d /tmp/ostrik-capture-XXXXXX)
chmod 755 "$work"
cleanup() {
  if [[ -s $work/run/apache2.pid ]]; then
    pid=$(cat "$work/run/apache2.pid")
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cp -a /etc/apache2 "$work/conf"
mkdir -p "$work"/{run,lock,logs}
# mod_info with Debian's own info.conf (Require local), as an administrator
# enables it with a2enmod info.
ln -sf ../mods-available/info.load "$work/conf/mods-enabled/info.load"
ln -sf ../mods-available/info.conf "$work/conf/mods-enabled/info.conf"
echo "Listen 127.0.0.1:$port" >"$work/conf/ports.conf"
sed -i "s/<VirtualHost \*:80>/<VirtualHost *:$port>/" "$work/conf/sites-enabled/000-default.conf"

export APACHE_RUN_USER=www-data APACHE_RUN_GROUP=www-data
export APACHE_PID_FILE=$work/run/apache2.pid APACHE_RUN_DIR=$work/run
export APACHE_LOCK_DIR=$work/lock APACHE_LOG_DIR=$work/logs LANG=C
apache2 -d "$work/conf" -f "$work/conf/apache2.conf" -k start
for _ in $(seq 100); do
  curl -s -o /dev/null "http://127.0.0.1:$port/" && break
  sleep 0.1
done
# A little traffic so that the status page's counters are not all zero.
for _ in $(seq 20); do curl -s -o /dev/null "http://127.0.0.1:$port/"; done

# HTTP/1.0 like the module's client, the whole answer kept.
curl -s -0 -i "http://127.0.0.1:$port/server-info" >"$out/server-info-debian.http"
curl -s -0 -i "http://127.0.0.1:$port/server-status?auto" >"$out/server-status-auto.http"
echo "server-info:   $(wc -c <"$out/server-info-debian.http") bytes, $(apache2 -v | head -1)"
echo "server-status: $(wc -c <"$out/server-status-auto.http") bytes"
echo "modules loaded: $(find "$work/conf/mods-enabled" -name "*.load" | wc -l)"
