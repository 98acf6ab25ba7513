#!/usr/bin/env bash
# CPU use and resident memory of velmor with its window (visible and hidden in the tray), beside the
# headless monitor paced the same two ways, with 1,000 idle TCP connections in a network namespace
# of its own. The window runs on an Xvfb display; "hidden" acts as if the desktop had a tray.
#   bench/shell/window_cpu.sh PROGRAM_FOLDER [SECONDS]      (root; default 10 s per measurement)
set -euo pipefail
program_folder=$(realpath "$1")
seconds=${2:-10}
ns=vlwin-$$
work=$(mktemp -d)
display=:$((90 + $$ % 9))
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$ns"
ip -n "$ns" link set lo up
ip -n "$ns" addr add 10.79.0.1/32 dev lo

# 500 connections to the namespace's own address: 1,000 rows in the TCP table, all idle.
cat > "$work/hold.py" <<'PY'
import socket, time
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.bind(("10.79.0.1", 9000))
listener.listen(1024)
held = []
for _ in range(500):
    client = socket.create_connection(("10.79.0.1", 9000))
    server, _ = listener.accept()
    held += [client, server]
print("ready", flush=True)
time.sleep(100000)
PY
ip netns exec "$ns" python3 "$work/hold.py" > "$work/hold.out" &
pids+=($!)
for _ in $(seq 100); do grep -q ready "$work/hold.out" 2>/dev/null && break; sleep 0.1; done
rows=$(ip netns exec "$ns" ss -Htan | wc -l)

Xvfb "$display" -ac -screen 0 1280x800x24 >/dev/null 2>&1 &
pids+=($!)
sleep 1

# The programs' standard input: a pipe that stays open (and silent) while this script runs.
mkfifo "$work/input"
exec 3<>"$work/input"
ticks=$(getconf CLK_TCK)
measure() {  # name, then the command to run in the namespace
  local name=$1
  shift
  local folder="$work/$name"
  mkdir -p "$folder"
  cp "$program_folder/velmor" "$folder/velmor"
  (cd "$folder" && exec ip netns exec "$ns" env DISPLAY="$display" QT_QPA_PLATFORM=xcb \
     VELMOR_TEST_PAUSE_DIVISOR=100 "$@" < "$work/input" > /dev/null 2>&1) &
  local launcher=$!
  pids+=("$launcher")
  sleep 3
  local pid
  pid=$(pgrep -f "^$folder/velmor" | head -1)
  read -r -a stat < "/proc/$pid/stat"
  local before=$((stat[13] + stat[14]))
  sleep "$seconds"
  read -r -a stat < "/proc/$pid/stat"
  local after=$((stat[13] + stat[14]))
  local rss hwm
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
  hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status")
  kill "$pid" 2>/dev/null || true
  awk -v name="$name" -v used=$((after - before)) -v hz="$ticks" -v s="$seconds" -v rss="$rss" -v hwm="$hwm" \
    'BEGIN { printf "%-16s cpu %5.2f %% of one core   rss %6.1f MB   peak %6.1f MB\n", name, 100 * used / hz / s, rss / 1024, hwm / 1024 }'
}

echo "rows in the TCP table: $rows; $seconds s per measurement"
measure window-visible "$work/window-visible/velmor"
measure window-hidden env VELMOR_TEST_TRAY=1 "$work/window-hidden/velmor"
measure headless "$work/headless/velmor" --headless --quiet
measure headless-hidden "$work/headless-hidden/velmor" --headless --quiet --hidden
