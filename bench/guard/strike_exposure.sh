#!/usr/bin/env bash
# The exposure window of an intruder: a scanner opens the bait (port 80) and then, after 0, 50 µs,
# 1 ms and 10 ms, a second port where a test service listens. Counts the second handshakes that
# complete, with the guard's first strike on and off (--first-strike), Velmor headless shown and
# hidden, and reads from the strike's map the kernel's own times (bpf_ktime) from the bait's
# handshake to the first packet dropped for that address.
#   bench/guard/strike_exposure.sh PROGRAM_FOLDER GUARD [PER_DELAY]     (root; default 50 intruders)
# STRIKE_MODES="on" (or "off") runs one half only.
# Everything runs in two namespaces of its own (veth between them); nothing else is touched.
set -euo pipefail
program_folder=$(realpath "$1")
guard_program=$(realpath "$2")
count=${3:-50}
here=$(dirname "$(realpath "$0")")
as_unit="$here/../../scripts/guard-as-unit.sh"
local_ns=vlstrike-l-$$
remote_ns=vlstrike-r-$$
work=$(mktemp -d)
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del "$local_ns" 2>/dev/null || true
  ip netns del "$remote_ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ip netns add "$local_ns"
ip netns add "$remote_ns"
ip link add vlsa$$ type veth peer name vlsb$$
ip link set vlsa$$ netns "$local_ns"
ip link set vlsb$$ netns "$remote_ns"
ip -n "$local_ns" addr add 10.80.0.1/24 dev vlsa$$
ip -n "$remote_ns" addr add 10.80.0.2/24 dev vlsb$$
ip -n "$local_ns" link set lo up
ip -n "$remote_ns" link set lo up
ip -n "$local_ns" link set vlsa$$ up
ip -n "$remote_ns" link set vlsb$$ up
# Every intruder from an address of its own: the scanner's namespace owns 10.81.0.0/16 (AnyIP).
ip -n "$remote_ns" route add local 10.81.0.0/16 dev lo
ip -n "$local_ns" route add 10.81.0.0/16 via 10.80.0.2

cat > "$work/service.py" <<'PY'
import socket, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("10.80.0.1", 8080))
s.listen(4096)
time.sleep(1e6)
PY
ip netns exec "$local_ns" python3 "$work/service.py" &
pids+=($!)

cat > "$work/scan.py" <<'PY'
import socket, struct, sys, time
round_, count = int(sys.argv[1]), int(sys.argv[2])
delays = [0.0, 50e-6, 1e-3, 10e-3]
for d, delay in enumerate(delays):
    completed = baited = 0
    for i in range(count):
        source = "10.81.%d.%d" % (round_ * 4 + d, i + 1)
        bait = socket.socket()
        bait.bind((source, 0))
        # Blocking, so that the request goes from inside the kernel once the handshake is done; 1 s
        # at most.
        bait.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, struct.pack("ll", 1, 0))
        # A request on the bait as soon as its handshake completes, in two pieces: the scanner's
        # kernel sends the first with the handshake's last step (TCP_FASTOPEN_CONNECT without a
        # cookie, the send waiting in the kernel), the second follows from the same running thread
        # (TCP_NODELAY), so the address's next packet comes microseconds after its handshake.
        bait.setsockopt(socket.IPPROTO_TCP, 30, 1)
        bait.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            bait.connect(("10.80.0.1", 80))
            bait.send(b"GET / HTTP/1.0\r\n")
            bait.send(b"\r\n")
            # Completed once the peer's SYN-ACK came: the send above waited for it.
        except ConnectionResetError:
            # The handshake completed and Velmor's teardown came before this client looked.
            pass
        except OSError:
            print("bait-failed", source, sys.exc_info()[1])
            continue
        baited += 1
        start = time.perf_counter()
        while time.perf_counter() - start < delay:
            pass
        second = socket.socket()
        second.bind((source, 0))
        second.settimeout(0.3)
        try:
            second.connect(("10.80.0.1", 8080))
            completed += 1
        except OSError:
            pass
        second.close()
        bait.close()
    print("delay_us %d: second handshakes completed %d of %d baited" % (delay * 1e6, completed, baited))
PY

# The strike's map of the guard with pid $1: the kernel's time from the handshake to the first drop.
cat > "$work/times.py" <<'PY'
import json, os, subprocess, sys
pid, third = sys.argv[1], int(sys.argv[2])
# The guard's maps by the descriptors it holds (fdinfo names their ids).
ids = []
for fd in os.listdir("/proc/%s/fdinfo" % pid):
    try:
        info = open("/proc/%s/fdinfo/%s" % (pid, fd)).read()
    except OSError:
        continue
    for line in info.splitlines():
        if line.startswith("map_id:"):
            map_id = line.split()[1]
            shown = json.loads(subprocess.check_output(["bpftool", "map", "show", "id", map_id, "-j"]))
            if shown.get("name") == "strike_blocked":
                ids.append(map_id)
if not ids:
    print("no strike map of guard", pid)
    sys.exit(0)
entries = json.loads(subprocess.check_output(["bpftool", "map", "dump", "id", str(ids[0]), "-j"]))
gaps = []
for e in entries:
    key = [int(b, 16) for b in e["key"]]
    value = [int(b, 16) for b in e["value"]]
    if key[10:12] != [0xFF, 0xFF] or key[12:14] != [10, 81] or key[14] != third:
        continue
    since = int.from_bytes(bytes(value[0:8]), "little")
    first_drop = int.from_bytes(bytes(value[8:16]), "little")
    origin = int.from_bytes(bytes(value[16:20]), "little")
    if origin == 1 and first_drop:
        gaps.append((first_drop - since) / 1000.0)
gaps.sort()
if gaps:
    q = lambda f: gaps[min(len(gaps) - 1, int(f * len(gaps)))]
    print("kernel handshake -> first drop (delay 0): n %d median %.1f us p99 %.1f us max %.1f us" %
          (len(gaps), q(0.5), q(0.99), gaps[-1]))
PY

# Velmor's standard input stays open (it reads headless commands there) and never ends.
mkfifo "$work/commands"
exec 3<>"$work/commands"
mkdir -p "$work/velmor"
cp "$program_folder/velmor" "$work/velmor/velmor"
round=0
for strike in ${STRIKE_MODES:-on off}; do
  for mode in shown hidden; do
    rm -rf "$work/velmor/invader"
    chown -R 65534:65534 "$work/velmor"
    ip netns exec "$local_ns" "$as_unit" "$guard_program" --socket "$work/guard.sock" --group 65534 \
      --first-strike "$strike" 2>/dev/null &
    guard_pid=$!
    sleep 1
    hidden=()
    [ "$mode" = hidden ] && hidden=(--hidden)
    ip netns exec "$local_ns" setpriv --reuid 65534 --regid 65534 --clear-groups \
      env VELMOR_GUARD_SOCKET="$work/guard.sock" "$work/velmor/velmor" --headless "${hidden[@]}" \
      <"$work/commands" >/dev/null 2>&1 &
    velmor_pid=$!
    sleep 2
    echo "== first strike $strike, velmor $mode"
    ip netns exec "$remote_ns" python3 "$work/scan.py" "$round" "$count"
    [ "$strike" = on ] && python3 "$work/times.py" "$guard_pid" "$((round * 4))"
    kill "$velmor_pid" "$guard_pid" 2>/dev/null || true
    wait "$velmor_pid" "$guard_pid" 2>/dev/null || true
    round=$((round + 1))
  done
done
