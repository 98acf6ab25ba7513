#!/usr/bin/env bash
# A CrowdSec Local API of Debian 12's crowdsec package, run offline for the fleet tests: the binaries
# only (never the package's maintainer scripts, which register with the online API), sqlite, no agent
# and no online API.
#   scripts/crowdsec-lapi.sh prepare                 download and unpack the binaries into the cache
#   scripts/crowdsec-lapi.sh start DIR [ADDR:PORT] [--tls]
#                                                   config and database in DIR; waits until it answers
#   scripts/crowdsec-lapi.sh machine NAME PASS       registers a watcher
#   scripts/crowdsec-lapi.sh bouncer NAME            registers a bouncer and prints its API key
#   scripts/crowdsec-lapi.sh cscli ARGS...           any cscli command against that API
#   scripts/crowdsec-lapi.sh stop                    stops that API, by the pid its start wrote
# machine, bouncer, cscli and stop act on the API of `--dir DIR` given before them, else of
# $VELMOR_CROWDSEC_DIR, else of the last start (remembered in /tmp/velmor-crowdsec-last, per user).
# ADDR:PORT defaults to 127.0.0.1:8080; run the script under `ip netns exec` to serve a test
# namespace's address. VELMOR_CROWDSEC_CACHE names the cache (default /var/cache/velmor-crowdsec).
# With --tls the API serves https with a self-signed certificate, DIR/tls/cert.pem, which a client
# takes as its CA.
set -euo pipefail
cache=${VELMOR_CROWDSEC_CACHE:-/var/cache/velmor-crowdsec}
root=$cache/root
version=1.4.6
last=/tmp/velmor-crowdsec-last.$(id -u)

die() {
  echo "crowdsec-lapi: $*" >&2
  exit 1
}

need_binaries() {
  if [ ! -x "$root/usr/bin/crowdsec" ] || [ ! -x "$root/usr/bin/cscli" ]; then
    die "no CrowdSec binaries in $root: run scripts/crowdsec-lapi.sh prepare"
  fi
}

prepare() {
  if [ -x "$root/usr/bin/crowdsec" ] && [ -x "$root/usr/bin/cscli" ]; then
    echo "crowdsec-lapi: binaries present in $root"
    return
  fi
  local work
  work=$(mktemp -d)
  # A machine whose package lists are old or missing gets fresh ones once.
  if ! (cd "$work" && apt-get download -q crowdsec); then
    apt-get update -qq
    (cd "$work" && apt-get download -q crowdsec)
  fi
  local deb
  deb=$(ls "$work"/crowdsec_*.deb)
  case $deb in *"_$version"-*) ;; *) echo "crowdsec-lapi: expected crowdsec $version, got $deb" >&2 ;; esac
  mkdir -p "$cache"
  rm -rf "$root.new"
  dpkg-deb -x "$deb" "$root.new"
  rm -rf "$root" "$work"
  mv "$root.new" "$root"
  echo "crowdsec-lapi: binaries unpacked into $root"
}

config_of() { echo "$1/config.yaml"; }

cscli_in() {
  local dir=$1
  shift
  need_binaries
  "$root/usr/bin/cscli" -c "$(config_of "$dir")" --error "$@"
}

start() {
  local dir=$1 listen=${2:-127.0.0.1:8080} tls=${3:-}
  need_binaries
  mkdir -p "$dir/data" "$dir/hub" "$dir/notifications" "$dir/log"
  dir=$(cd "$dir" && pwd)
  if [ -f "$dir/crowdsec.pid" ] && started_here "$(cat "$dir/crowdsec.pid")" "$dir"; then
    die "an API started in $dir is still running"
  fi
  local scheme=http tls_block="" insecure=false
  if [ "$tls" = --tls ]; then
    scheme=https
    insecure=true
    mkdir -p "$dir/tls"
    if [ ! -f "$dir/tls/cert.pem" ]; then
      local host=${listen%:*}
      host=${host#[}
      host=${host%]}
      openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=velmor-test-lapi" \
        -addext "subjectAltName=IP:$host,IP:127.0.0.1" -keyout "$dir/tls/key.pem" -out "$dir/tls/cert.pem" 2>/dev/null
    fi
    tls_block="    tls:
      cert_file: $dir/tls/cert.pem
      key_file: $dir/tls/key.pem"
  elif [ -n "$tls" ]; then
    die "unknown option $tls"
  fi
  cat >"$dir/config.yaml" <<EOF
common:
  daemonize: false
  log_media: file
  log_level: info
  log_dir: $dir/log/
  working_dir: $dir
config_paths:
  config_dir: $dir/
  data_dir: $dir/data/
  simulation_path: $dir/simulation.yaml
  hub_dir: $dir/hub/
  index_path: $dir/hub/.index.json
  notification_dir: $dir/notifications/
  plugin_dir: $root/usr/lib/crowdsec/plugins/
cscli:
  output: human
  color: false
db_config:
  log_level: info
  type: sqlite
  db_path: $dir/data/crowdsec.db
  flush:
    max_items: 5000
    max_age: 7d
plugin_config:
  user: nobody
  group: nogroup
api:
  client:
    insecure_skip_verify: $insecure
    credentials_path: $dir/local_api_credentials.yaml
  server:
    log_level: info
    listen_uri: $listen
    profiles_path: $dir/profiles.yaml
    trusted_ips:
      - 127.0.0.1
      - ::1
$tls_block
prometheus:
  enabled: false
EOF
  cat >"$dir/profiles.yaml" <<EOF
name: default_ip_remediation
filters:
 - Alert.Remediation == true && Alert.GetScope() == "Ip"
decisions:
 - type: ban
   duration: 4h
on_success: break
EOF
  echo "simulation: off" >"$dir/simulation.yaml"
  echo '{}' >"$dir/hub/.index.json"
  # cscli speaks to the API as a machine of its own, registered straight into the database.
  if [ ! -f "$dir/local_api_credentials.yaml" ]; then
    "$root/usr/bin/cscli" -c "$dir/config.yaml" --error machines add velmor-cscli --auto \
      -f "$dir/local_api_credentials.yaml" --url "$scheme://$listen" >/dev/null
  fi
  "$root/usr/bin/crowdsec" -c "$dir/config.yaml" -no-cs >"$dir/log/stdout.log" 2>&1 &
  local pid=$!
  echo "$pid" >"$dir/crowdsec.pid"
  echo "$dir" >"$last"
  # Ready when the stream answers (403: no key); the process gone means it failed.
  local _
  for _ in $(seq 1 200); do
    if ! kill -0 "$pid" 2>/dev/null; then
      cat "$dir/log/stdout.log" "$dir/log/crowdsec_api.log" >&2 2>/dev/null || true
      rm -f "$dir/crowdsec.pid"
      die "the API in $dir ended at start"
    fi
    if curl -sk -o /dev/null -w '%{http_code}' "$scheme://$listen/v1/decisions/stream" 2>/dev/null | grep -q 403; then
      echo "crowdsec-lapi: API $scheme://$listen up, pid $pid"
      return
    fi
    sleep 0.05
  done
  stop "$dir"
  die "the API in $dir did not answer within 10 s"
}

# Whether PID is the API started with DIR's config: a pid file outlives its process, and the number
# may since belong to a process of someone else.
started_here() {
  local pid=$1 dir=$2
  [ -r "/proc/$pid/cmdline" ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -qF -- "-c $dir/config.yaml "
}

stop() {
  local dir pid
  dir=$(cd "$1" && pwd)
  [ -f "$dir/crowdsec.pid" ] || return 0
  pid=$(cat "$dir/crowdsec.pid")
  rm -f "$dir/crowdsec.pid"
  started_here "$pid" "$dir" || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  local _
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null || true
}

dir=${VELMOR_CROWDSEC_DIR:-}
if [ "${1:-}" = --dir ]; then
  [ $# -ge 2 ] || die "--dir needs a folder"
  dir=$2
  shift 2
fi
# The API the commands after start act on.
api_dir() {
  if [ -z "$dir" ] && [ -f "$last" ]; then dir=$(cat "$last"); fi
  if [ -z "$dir" ] || [ ! -f "$dir/config.yaml" ]; then die "no API started: give --dir DIR or run start first"; fi
  echo "$dir"
}
usage="prepare | start DIR [ADDR:PORT] [--tls] | [--dir DIR] machine NAME PASS | [--dir DIR] bouncer NAME |
  [--dir DIR] cscli ARGS... | [--dir DIR] stop"
command=${1:-}
shift || true
case $command in
  prepare) prepare ;;
  start) [ $# -ge 1 ] || die "start DIR [ADDR:PORT] [--tls]"; start "$@" ;;
  machine)
    [ $# -eq 2 ] || die "machine NAME PASS"
    cscli_in "$(api_dir)" machines add "$1" --password "$2" -f /dev/null >/dev/null
    ;;
  bouncer)
    [ $# -eq 1 ] || die "bouncer NAME"
    cscli_in "$(api_dir)" bouncers add "$1" -o raw
    ;;
  cscli) cscli_in "$(api_dir)" "$@" ;;
  stop) [ $# -eq 0 ] || die "stop takes no arguments (--dir DIR before it)"; stop "$(api_dir)" ;;
  *) die "usage: $0 $usage" ;;
esac
