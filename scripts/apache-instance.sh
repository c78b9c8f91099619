#!/usr/bin/env bash
# A private Apache 2.4 instance on a loopback port, with mod_status and
# mod_info behind Basic authentication, for the demo, tests and benchmarks.
#
#   apache-instance.sh setup [--mpm prefork|event] [--listen ADDRESS] DIR PORT USER PASSWORD
#                            [EXTRA-CONF-FILE]
#       writes DIR/conf/httpd.conf, DIR/conf/htpasswd, DIR/htdocs, DIR/logs
#       (EXTRA-CONF-FILE, when given, is included at the end of httpd.conf);
#       the server runs the prefork MPM unless --mpm names another, and
#       listens on 127.0.0.1 unless --listen names another address of this
#       machine (an IPv6 address in brackets: [::1])
#   apache-instance.sh start DIR      starts it in the background, waits for the PID file
#   apache-instance.sh stop DIR       stops it and waits until it has gone
#   apache-instance.sh graceful DIR   graceful restart
#   apache-instance.sh foreground DIR runs it in the foreground (exec)
set -euo pipefail

mods=/usr/lib/apache2/modules

die() { echo "apache-instance: $*" >&2; exit 1; }

# The MPM's module and its process limits: 20 workers at most either way.
mpm_conf() {
  case "$1" in
    prefork)
      cat <<CONF
LoadModule mpm_prefork_module $mods/mod_mpm_prefork.so
StartServers 2
MinSpareServers 2
MaxSpareServers 4
MaxRequestWorkers 20
CONF
      ;;
    event)
      cat <<CONF
LoadModule mpm_event_module $mods/mod_mpm_event.so
StartServers 1
ServerLimit 2
ThreadsPerChild 10
MinSpareThreads 5
MaxSpareThreads 20
MaxRequestWorkers 20
CONF
      ;;
    *) die "unknown MPM '$1' (prefork or event)" ;;
  esac
}

setup() {
  local mpm=prefork listen=127.0.0.1
  while [[ "${1:-}" == --mpm || "${1:-}" == --listen ]]; do
    if [[ "$1" == --mpm ]]; then mpm=${2:-}; else listen=${2:-}; fi
    shift 2
  done
  (($# >= 4)) || die "usage: setup [--mpm MPM] [--listen ADDRESS] DIR PORT USER PASSWORD [EXTRA]"
  local dir=$1 port=$2 user=$3 password=$4 extra=${5:-}
  local mpm_lines
  mpm_lines=$(mpm_conf "$mpm")
  mkdir -p "$dir"/{conf,logs,htdocs,run}
  # Apache's children run as www-data and must reach the password file.
  chmod 755 "$dir" "$dir"/conf "$dir"/htdocs "$dir"/run
  echo "<html><body>ostrik test page</body></html>" >"$dir/htdocs/index.html"
  htpasswd -cbB "$dir/conf/htpasswd" "$user" "$password" >/dev/null 2>&1 ||
    die "htpasswd failed (is apache2-utils installed?)"
  chmod 644 "$dir/conf/htpasswd"
  cat >"$dir/conf/httpd.conf" <<CONF
ServerRoot "$dir"
ServerName localhost
Listen $listen:$port
PidFile run/httpd.pid
DefaultRuntimeDir run
Mutex file:run default
User www-data
Group www-data

$mpm_lines
LoadModule authn_core_module $mods/mod_authn_core.so
LoadModule authn_file_module $mods/mod_authn_file.so
LoadModule authz_core_module $mods/mod_authz_core.so
LoadModule authz_user_module $mods/mod_authz_user.so
LoadModule auth_basic_module $mods/mod_auth_basic.so
LoadModule mime_module $mods/mod_mime.so
LoadModule dir_module $mods/mod_dir.so
LoadModule status_module $mods/mod_status.so
LoadModule info_module $mods/mod_info.so

KeepAlive On
Timeout 60

DocumentRoot "$dir/htdocs"
DirectoryIndex index.html
TypesConfig /etc/mime.types
ErrorLog logs/error_log
LogLevel warn
LogFormat "%h %l %u %t \"%r\" %>s %b" common
CustomLog logs/access_log common
ExtendedStatus On

<Directory />
  AllowOverride None
  Require all denied
</Directory>
<Directory "$dir/htdocs">
  Require all granted
</Directory>
<Location /server-status>
  SetHandler server-status
  AuthType Basic
  AuthName "ostrik"
  AuthUserFile "$dir/conf/htpasswd"
  Require valid-user
</Location>
<Location /server-info>
  SetHandler server-info
  AuthType Basic
  AuthName "ostrik"
  AuthUserFile "$dir/conf/htpasswd"
  Require valid-user
</Location>
CONF
  if [[ -n "$extra" ]]; then
    echo "Include \"$extra\"" >>"$dir/conf/httpd.conf"
  fi
  apache2 -t -f "$dir/conf/httpd.conf" >/dev/null 2>&1 ||
    { apache2 -t -f "$dir/conf/httpd.conf"; die "configuration check failed"; }
}

pid_of() { cat "$1/run/httpd.pid" 2>/dev/null || true; }

start() {
  local dir=$1
  rm -f "$dir/run/httpd.pid"
  apache2 -f "$dir/conf/httpd.conf" -k start
  for _ in $(seq 100); do
    [[ -s "$dir/run/httpd.pid" ]] && return 0
    sleep 0.1
  done
  die "Apache did not start; see $dir/logs/error_log"
}

stop() {
  local dir=$1 pid
  pid=$(pid_of "$dir")
  [[ -n "$pid" ]] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
}

case "${1:-}" in
  setup) shift; setup "$@" ;;
  start) start "$2" ;;
  stop) stop "$2" ;;
  graceful) apache2 -f "$2/conf/httpd.conf" -k graceful ;;
  foreground) exec apache2 -f "$2/conf/httpd.conf" -DFOREGROUND ;;
  *) die "usage: $0 setup|start|stop|graceful|foreground DIR ..." ;;
esac
