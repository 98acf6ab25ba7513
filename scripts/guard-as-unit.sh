#!/usr/bin/env bash
# Starts velmor-guard with the rights its systemd unit gives it, read from the unit file itself, so
# that the tests, the benchmarks and scripts/run.sh run the guard that the package installs: root
# with only the unit's CapabilityBoundingSet (and AmbientCapabilities), NoNewPrivileges, and the
# arguments of its ExecStart.
#
#   scripts/guard-as-unit.sh [--print] [--without CAP]... GUARD [--OPTION VALUE]...
#
# GUARD takes the place of the unit's program. An option given here replaces the unit's value of
# that option (a test's own socket and group); the unit's other arguments stay as they are.
# --without drops one of the unit's capabilities (CAP_BPF or bpf), as a system that withholds it
# would. --print writes the command instead of running it. The unit is $VELMOR_GUARD_UNIT, else
# deploy/velmor-guard.service beside this script. The script replaces itself with the guard (exec),
# so the caller's child process is the guard. Needs root. Values must not contain blanks.
set -euo pipefail

unit=${VELMOR_GUARD_UNIT:-$(dirname "$0")/../deploy/velmor-guard.service}
fail() {
  echo "guard-as-unit: $*" >&2
  exit 2
}
[ -r "$unit" ] || fail "no unit file $unit"

# A capability as setpriv names it: CAP_NET_ADMIN, cap_net_admin and net_admin are net_admin.
cap_name() {
  local name=${1,,}
  echo "${name#cap_}"
}

print=0
declare -A without=()
while [ $# -gt 0 ]; do
  case $1 in
  --print) print=1 ;;
  --without)
    [ $# -ge 2 ] || fail "--without needs a capability"
    without[$(cap_name "$2")]=1
    shift
    ;;
  *) break ;;
  esac
  shift
done
[ $# -ge 1 ] || fail "usage: guard-as-unit.sh [--print] [--without CAP]... GUARD [--OPTION VALUE]..."
guard=$1
shift
[ $(($# % 2)) -eq 0 ] || fail "options come in pairs: $*"

# The words of one key of the [Service] section, all its lines together (systemd adds them up; an
# empty assignment empties the list).
values() {
  local list="" line
  while IFS= read -r line; do
    if [ -z "$line" ]; then list=""; else list="$list $line"; fi
  done < <(sed -n '/^\[Service\]/,/^\[/p' "$unit" | sed -n "s/^$1=//p")
  echo "$list"
}

for key in User Group DynamicUser SupplementaryGroups; do
  [ -z "$(values "$key")" ] || fail "the unit sets $key=, which is not reproduced here"
done
bounding=$(values CapabilityBoundingSet)
[ -n "$bounding" ] || fail "the unit keeps every capability (no CapabilityBoundingSet)"
[[ $bounding != *'~'* ]] || fail "an inverted CapabilityBoundingSet is not reproduced here"

# setpriv's lists: everything dropped, then the unit's own added back.
kept() {
  local list="-all" cap
  for cap in $1; do
    cap=$(cap_name "$cap")
    [ -n "${without[$cap]:-}" ] || list="$list,+$cap"
  done
  echo "$list"
}
ambient=$(kept "$(values AmbientCapabilities)")
command=(setpriv --bounding-set "$(kept "$bounding")" --inh-caps "$ambient" --ambient-caps "$ambient")
case $(values NoNewPrivileges | tr -d ' ') in yes | true | on | 1) command+=(--no-new-privs) ;; esac

# ExecStart's arguments after its program (the unit quotes nothing), each option's value replaced
# by the caller's where it gave one; the caller's other options follow.
read -r -a unit_words <<<"$(values ExecStart)"
[ ${#unit_words[@]} -ge 1 ] || fail "the unit has no ExecStart"
declare -A given=()
for ((i = 1; i < $#; i += 2)); do
  given[${!i}]=$((i + 1))
done
command+=(-- "$guard")
declare -A used=()
for ((i = 1; i < ${#unit_words[@]}; ++i)); do
  word=${unit_words[$i]}
  if [ -n "${given[$word]:-}" ] && [ $((i + 1)) -lt ${#unit_words[@]} ]; then
    index=${given[$word]}
    command+=("$word" "${!index}")
    used[$word]=1
    ((++i))
  else
    command+=("$word")
  fi
done
for ((i = 1; i < $#; i += 2)); do
  option=${!i}
  index=$((i + 1))
  [ -n "${used[$option]:-}" ] || command+=("$option" "${!index}")
done

if [ "$print" -eq 1 ]; then
  echo "${command[*]}"
  exit 0
fi
exec "${command[@]}"
