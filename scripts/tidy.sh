#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) over the code without widgets (the core, the shell's
# event-loop side, the guard) and the platform layer, using the compile commands of a configured
# build (default: build/ci), one file per core at a time. Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/ci}
[ -f "$build/compile_commands.json" ] || { echo "tidy: no $build/compile_commands.json; configure first" >&2; exit 1; }
# The guard's pattern takes every folder of it (the client and the event source too).
mapfile -t files < <(git ls-files 'common/src/*.cpp' 'monitor/engine/src/*.cpp' 'monitor/rules/src/*.cpp' 'monitor/fleet/src/*.cpp' 'monitor/lists/src/*.cpp' \
  'monitor/shell/src/*.cpp' ':!:monitor/shell/src/gui/*' 'platform/linux/*.cpp' 'platform/portable/*.cpp' \
  'hostlet/src/*.cpp' 'fetchel/src/*.cpp' 'updater/src/*.cpp' 'guard/*.cpp')
# GCC-only warning flags in the compile commands mean nothing to clang.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
printf '%s\0' "${files[@]}" |
  xargs -0 -n 1 -P "$(nproc)" clang-tidy -p "$build" --quiet --extra-arg=-Wno-unknown-warning-option 2>/dev/null |
  tee "$log" || status=$?
if [ "$status" -ne 0 ] || grep -qE '(error|warning):' "$log"; then
  echo "tidy: findings above" >&2
  exit 1
fi
echo "tidy: ${#files[@]} files clean"
