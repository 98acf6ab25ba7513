#!/usr/bin/env bash
# Builds the program folder and velmor-guard, starts the guard (with sudo when not run as root) and
# then Velmor without any rights. The guard is the one part that holds rights: it tears connections
# down, keeps the nftables table "inet velmor" and hands Velmor its bait listener on port 80. It stops
# (and removes its table) when Velmor ends. A guard that already answers on the socket (the systemd
# service in deploy/) is used as it is.
#
#   scripts/run.sh [--no-guard] [velmor arguments, e.g. --headless]
#
# --no-guard: the old fall-back, Velmor with its own two file capabilities (teardown only, no
# packet-level blocking).
set -euo pipefail
cd "$(dirname "$0")/.."
use_guard=1
if [ "${1:-}" = "--no-guard" ]; then
  use_guard=0
  shift
fi
./scripts/install-deps.sh --run
cmake --preset default >/dev/null
# The four programs of the program folder P, and the guard beside it in libexec/.
cmake --build --preset default -j "$(nproc)" --target velmor hostlet updater fetchel velmor-guard
program=build/default/P/velmor
guard=build/default/libexec/velmor-guard
socket=${VELMOR_GUARD_SOCKET:-/run/velmor/guard.sock}
export VELMOR_GUARD_SOCKET="$socket"
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd=sudo

if [ "$use_guard" -eq 0 ]; then
  # setcap must come after the last write of the file: rebuilding or copying it drops the capabilities.
  $sudo_cmd setcap cap_net_admin,cap_net_bind_service+ep "$program" ||
    echo "run: could not grant capabilities; Velmor will monitor but not block" >&2
  exec "$program" "$@"
fi

# Velmor itself holds no capabilities, whatever an earlier run granted.
if getcap "$program" 2>/dev/null | grep -q cap_; then $sudo_cmd setcap -r "$program" || true; fi

guard_pid=""
stop_guard() {
  # Only the guard this script started, by its id; it removes its table on SIGTERM.
  if [ -n "$guard_pid" ]; then $sudo_cmd kill -TERM "$guard_pid" 2>/dev/null || true; fi
}
if [ ! -S "$socket" ]; then
  # The guard serves root and the members of group "velmor"; without that group it serves the
  # primary group of the user who runs this script.
  group=velmor
  if ! id -nG | tr ' ' '\n' | grep -qx velmor; then group=$(id -g); fi
  # Ask for the password in the foreground; the guard then runs in the background.
  [ -z "$sudo_cmd" ] || sudo -v
  # With the rights of its systemd unit, exactly as the package runs it.
  $sudo_cmd ./scripts/guard-as-unit.sh "$guard" --socket "$socket" --group "$group" &
  guard_pid=$!
  trap stop_guard EXIT
  for _ in $(seq 50); do
    [ -S "$socket" ] && break
    sleep 0.1
  done
  [ -S "$socket" ] || echo "run: velmor-guard did not start; Velmor will say what is not in force" >&2
fi

if [ "$(id -u)" -eq 0 ]; then
  # Run as root: Velmor still gets no capability (an empty bounding set drops them at exec).
  setpriv --bounding-set -all --inh-caps -all -- "$program" "$@"
else
  "$program" "$@"
fi
