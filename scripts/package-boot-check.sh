#!/usr/bin/env bash
# Installs the Debian package into a booted Debian 12 system and uses it as a new user would:
#   - a Debian 12 root (debootstrap, kept in $VELMOR_BOOT_CACHE, default /var/cache/velmor-boot-check,
#     with the package's dependencies; made again when they change) is copied, the package is
#     installed into the copy with apt and debconf's default answers, and the copy is booted with
#     systemd-nspawn in a network namespace of its own (nothing it does reaches this machine's
#     connections);
#   - systemd starts velmor-guard from its unit: it must run with exactly CAP_NET_ADMIN,
#     CAP_NET_BIND_SERVICE, CAP_BPF, CAP_PERFMON and CAP_SYS_PTRACE and no new privileges, and offer
#     kernel events;
#   - a user outside the group velmor runs the installed headless Velmor: the guard refuses it, and
#     Velmor says so with "sudo adduser NAME velmor";
#   - a user who took that one step ("adduser alice velmor", then a new login) runs it: the guard
#     serves it with events and its bait; an intruder from a second namespace inside the container
#     connects to port 80, is filed as blocked, torn down, put into the guard's set, and then gets
#     no answer at all;
#   - the debconf question, answered no and then yes again (dpkg-reconfigure), switches the service
#     off and on; the package never puts a user into the group.
#   scripts/package-boot-check.sh [BUILD_FOLDER]   (default build/default). Needs root, network
#   access to deb.debian.org for the first root, systemd-nspawn and debootstrap.
#   scripts/package-boot-check.sh --prepare   only makes the bare Debian 12 root (no package needed),
#   so that scripts/test.sh can download it while it builds.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
if [ "$(id -u)" -ne 0 ]; then
  echo "package-boot-check: needs root (debootstrap, systemd-nspawn)" >&2
  exit 1
fi
fail() {
  echo "package-boot-check: FAILED: $*" >&2
  [ -z "${boot_log:-}" ] || [ ! -f "$boot_log" ] || tail -n 40 "$boot_log" >&2
  exit 1
}
for tool in systemd-nspawn debootstrap nsenter; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/install-deps.sh"
done

# --- The bare Debian 12 root, made once; and from it a root with the package's dependencies, made
# once per set of dependencies.
cache=${VELMOR_BOOT_CACHE:-/var/cache/velmor-boot-check}
bare=$cache/bare
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9
if [ ! -f "$bare/.complete" ]; then
  echo "== a Debian 12 root (once; a few minutes)"
  rm -rf "$bare" "$cache/new-bare"
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus,iproute2,nftables,ca-certificates \
    bookworm "$cache/new-bare" http://deb.debian.org/debian >"$cache/debootstrap.log" 2>&1 ||
    { tail -n 20 "$cache/debootstrap.log"; fail "debootstrap"; }
  cat >"$cache/new-bare/etc/apt/sources.list" <<'EOF'
deb http://deb.debian.org/debian bookworm main
deb http://deb.debian.org/debian bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
EOF
  touch "$cache/new-bare/.complete"
  mv "$cache/new-bare" "$bare"
fi
if [ "$build" = --prepare ]; then
  echo "package-boot-check: the bare Debian 12 root is ready in $bare"
  exit 0
fi

./scripts/package.sh "$build" >/dev/null
deb=$(ls "$PWD/$build"/package/velmor_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
key=$(printf '%s\n' "$depends" | sha256sum | cut -c1-16)
base=$cache/root-$key
if [ ! -f "$base/.complete" ]; then
  echo "== the Debian 12 root with the package's dependencies (once per set of dependencies)"
  rm -rf "$cache"/root-* "$cache/new"
  cp -a "$bare" "$cache/new"
  rm -f "$cache/new/.complete"
  cp "$deb" "$cache/new/var/tmp/velmor.deb"
  # The package pulls its dependencies in and goes again; they stay.
  systemd-nspawn -q -D "$cache/new" --register=no --keep-unit -E DEBIAN_FRONTEND=noninteractive \
    sh -c 'apt-get update -qq && apt-get install -y -qq --no-install-recommends /var/tmp/velmor.deb &&
           apt-get purge -y -qq velmor && apt-get clean && rm -f /var/tmp/velmor.deb' \
    >"$cache/deps.log" 2>&1 || { tail -n 20 "$cache/deps.log"; fail "the package's dependencies"; }
  touch "$cache/new/.complete"
  mv "$cache/new" "$base"
fi

work=$(mktemp -d /var/tmp/velmor-boot-check.XXXXXX)
root=$work/root
boot_log=$work/boot.log
nspawn_pid=""
init_pid=""
# The container's first process, once it is systemd (nspawn forks helpers before it).
container_init() {
  # ps fails while nspawn has no child yet; that is "not yet", not an error.
  { ps -o pid=,comm= --ppid "$nspawn_pid" || true; } | awk '$2 == "systemd" { print $1; exit }'
}
cleanup() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    [ -n "$init_pid" ] || init_pid=$(container_init)
    # systemd in the container powers off on SIGRTMIN+4, and its nspawn ends with it. Killing
    # nspawn alone would leave the container running; killing its first process ends every
    # process of its pid namespace.
    [ -z "$init_pid" ] || kill -s RTMIN+4 "$init_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do
      kill -0 "$nspawn_pid" 2>/dev/null || break
      sleep 0.1
    done
    [ -z "$init_pid" ] || kill -KILL "$init_pid" 2>/dev/null || true
    sleep 0.5
    kill -KILL "$nspawn_pid" 2>/dev/null || true
    wait "$nspawn_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP PIPE
cp -a "$base" "$root"
flock -u 9

echo "== apt installs the package with debconf's default answers"
cp "$deb" "$root/var/tmp/velmor.deb"
systemd-nspawn -q -D "$root" --register=no --keep-unit --private-network -E DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends /var/tmp/velmor.deb >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "apt cannot install the package"; }
rm -f "$root/var/tmp/velmor.deb"

echo "== boot it (its own network namespace)"
# A container lacks what a real machine's systemd has: CAP_BPF and CAP_PERFMON are not among its
# default capabilities, and systemd-nspawn's own system call filter refuses bpf() (EPERM).
systemd-nspawn -q -D "$root" --boot --private-network --register=no --keep-unit \
  --capability=CAP_BPF,CAP_PERFMON --system-call-filter=bpf -M "velmor-check-$$" >"$boot_log" 2>&1 </dev/null &
nspawn_pid=$!
for _ in $(seq 1 100); do
  init_pid=$(container_init)
  [ -z "$init_pid" ] || break
  sleep 0.1
done
[ -n "$init_pid" ] || fail "the container did not start"
inside() {
  nsenter -t "$init_pid" -a -- "$@"
}
state=""
for _ in $(seq 1 300); do
  state=$(inside systemctl is-system-running 2>/dev/null || true)
  case $state in running | degraded) break ;; esac
  sleep 0.2
done
case $state in running | degraded) ;; *) fail "the container did not boot ($state)" ;; esac

echo "== systemd runs velmor-guard with the unit's rights"
for _ in $(seq 1 50); do
  [ "$(inside systemctl is-active velmor-guard.service || true)" = active ] && break
  sleep 0.2
done
[ "$(inside systemctl is-active velmor-guard.service || true)" = active ] ||
  { inside journalctl -b -u velmor-guard.service --no-pager || true; fail "velmor-guard is not active"; }
guard_pid=$(inside systemctl show -p MainPID --value velmor-guard.service)
# The container shares this machine's pid numbers only through its own /proc.
guard_status=$(inside cat "/proc/$guard_pid/status")
cap_eff=$(sed -n 's/^CapEff:\s*//p' <<<"$guard_status")
cap_bnd=$(sed -n 's/^CapBnd:\s*//p' <<<"$guard_status")
no_new=$(sed -n 's/^NoNewPrivs:\s*//p' <<<"$guard_status")
# CAP_NET_BIND_SERVICE (10), CAP_NET_ADMIN (12), CAP_SYS_PTRACE (19), CAP_PERFMON (38), CAP_BPF (39).
[ "$cap_eff" = 000000c000081400 ] && [ "$cap_bnd" = 000000c000081400 ] && [ "$no_new" = 1 ] ||
  fail "the guard runs with CapEff $cap_eff, CapBnd $cap_bnd, NoNewPrivs $no_new"
journal=$(inside journalctl -b -u velmor-guard.service --no-pager -o cat)
grep -q 'listening on /run/velmor/guard.sock' <<<"$journal" || fail "the guard does not listen: $journal"
! grep -q 'no kernel socket events' <<<"$journal" || fail "the guard has no kernel events: $journal"

# Runs the installed Velmor headless as USER with a fresh login (runuser sets its groups from the
# group database), in the background; its answers go to $work/USER.out.
start_velmor() {
  local user=$1
  mkfifo "$work/$user.in"
  # Its diagnostics join its answers, so that a failure below shows what it saw.
  inside runuser -l "$user" -c 'VELMOR_DEBUG_LOG=1 exec velmor --headless 2>&1' <"$work/$user.in" >"$work/$user.out" &
  velmor_pid=$!
  exec {velmor_in}>"$work/$user.in"
}
# Sends one command and waits for its "end"; prints the answer.
ask() {
  local user=$1 command=$2 before
  before=$(grep -c '^end$' "$work/$user.out" 2>/dev/null || true)
  echo "$command" >&"$velmor_in"
  for _ in $(seq 1 100); do
    [ "$(grep -c '^end$' "$work/$user.out" 2>/dev/null || true)" -gt "$before" ] && break
    sleep 0.1
  done
  awk -v n="$before" '/^end$/ { if (++seen > n) exit; next } seen == n' "$work/$user.out"
}
stop_velmor() {
  echo quit >&"$velmor_in"
  exec {velmor_in}>&-
  wait "$velmor_pid" 2>/dev/null || true
}

echo "== a user outside the group is told the one step, with its own name"
inside useradd --create-home --shell /bin/bash bob
start_velmor bob
answer=$(ask bob guard)
stop_velmor
grep -qx 'guard refused' <<<"$answer" || fail "bob's Velmor answered: $answer"
grep -q '"sudo adduser bob velmor"' "$work/bob.out" || fail "bob was not told the command: $(cat "$work/bob.out")"
! grep -q 'run.sh' "$work/bob.out" || fail "the installed Velmor speaks of run.sh"

echo "== after that step, the user blocks an intruder through the guard"
inside useradd --create-home --shell /bin/bash alice
inside adduser --quiet alice velmor
# The intruder: a second namespace inside the container's own, joined by a veth pair.
inside ip netns add intruder
inside ip link add v-home type veth peer name v-intruder netns intruder
inside ip addr add 10.77.0.1/24 dev v-home
inside ip link set v-home up
inside ip netns exec intruder ip addr add 10.77.0.2/24 dev v-intruder
inside ip netns exec intruder ip link set v-intruder up
inside ip netns exec intruder ip link set lo up
start_velmor alice
answer=$(ask alice guard)
for line in 'guard connected' 'packet_filter 1' 'teardown 1' 'bait 1' 'events 1'; do
  grep -qx "$line" <<<"$answer" || fail "alice's Velmor lacks '$line': $answer"
done
# The intruder connects to the bait and holds the connection for up to three seconds.
inside ip netns exec intruder timeout 3 bash -c 'exec 3<>/dev/tcp/10.77.0.1/80; cat <&3 >/dev/null' 2>/dev/null ||
  true
rule=/home/alice/.local/share/velmor/P/invader/10.77.0.2.x
for _ in $(seq 1 50); do
  inside test -f "$rule" && break
  sleep 0.1
done
inside test -f "$rule" || fail "the intruder was not filed: $(ask alice list)"
# The listing is read whole before it is searched: nft writes it in many small pieces, and a
# "grep -q" that stops at the match would end nft with SIGPIPE, which pipefail counts as a failure.
blocked_set() {
  inside nft list set inet velmor blocked4 || true
}
for _ in $(seq 1 50); do
  grep -q 10.77.0.2 <<<"$(blocked_set)" && break
  sleep 0.1
done
if ! grep -q 10.77.0.2 <<<"$(blocked_set)"; then
  # What each side saw: the guard's journal, Velmor's own words and its view of the guard, the table.
  {
    echo "-- the guard's journal"
    inside journalctl -b -u velmor-guard.service --no-pager -o short-monotonic | tail -n 40 || true
    echo "-- alice's Velmor"
    tail -n 40 "$work/alice.out"
    echo "-- alice's Velmor on the guard"
    ask alice guard
    echo "-- the table"
    inside nft list table inet velmor || true
  } >&2
  fail "the intruder is not in the guard's set"
fi
# Dropped at packet level now: a new connection gets no answer at all (not even a refusal).
status=0
inside ip netns exec intruder timeout 2 bash -c 'exec 3<>/dev/tcp/10.77.0.1/80' 2>/dev/null || status=$?
[ "$status" -eq 124 ] || fail "the blocked intruder got an answer (status $status)"
grep -qx 'guard connected' <<<"$(ask alice guard)" || fail "alice's Velmor lost the guard"
stop_velmor

echo "== the administrator's answer to the debconf question switches the service"
reconfigure() {
  echo "velmor velmor/guard-for-group boolean $1" | inside debconf-set-selections
  inside env DEBIAN_FRONTEND=noninteractive dpkg-reconfigure velmor >>"$work/reconfigure.log" 2>&1 ||
    { cat "$work/reconfigure.log"; fail "dpkg-reconfigure velmor"; }
}
reconfigure false
[ "$(inside systemctl is-enabled velmor-guard.service || true)" = disabled ] &&
  [ "$(inside systemctl is-active velmor-guard.service || true)" = inactive ] ||
  fail "answered no, the service is $(inside systemctl is-enabled velmor-guard.service || true)" \
    "and $(inside systemctl is-active velmor-guard.service || true)"
reconfigure true
[ "$(inside systemctl is-enabled velmor-guard.service || true)" = enabled ] &&
  [ "$(inside systemctl is-active velmor-guard.service || true)" = active ] ||
  fail "answered yes, the service is $(inside systemctl is-enabled velmor-guard.service || true)" \
    "and $(inside systemctl is-active velmor-guard.service || true): $(cat "$work/reconfigure.log")"
inside id -nG bob | grep -qw velmor && fail "the package put bob into the group"

echo "package-boot-check: $(basename "$deb") installs, boots, runs its guard with the unit's rights and blocks an intruder"
