#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time from its seed corpus, as
# many at once as there are cores (each fuzzer runs on one).
# Usage: scripts/fuzz.sh [seconds-per-target]
#        scripts/fuzz.sh --build-only     (builds them and runs none)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/compiler-cache.sh
build_only=0
if [ "${1:-}" = --build-only ]; then
  build_only=1
  shift
fi
seconds=${1:-30}
# A finding's stack needs files and lines only: line tables (-g1) compile faster than full debug
# information, and lld links faster than ld.bfd.
cmake --preset fuzz "${velmor_cache[@]}" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld >/dev/null
# Build only the fuzz targets (and what they link), not the tests and programs.
mapfile -t names < <(ninja -C build/fuzz -t targets all | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\): .*/\1/p' | sort -u)
if [ ${#names[@]} -eq 0 ]; then
  echo "fuzz: no fuzz targets"
  exit 1
fi
cmake --build build/fuzz -j "$(nproc)" --target "${names[@]}"
[ "$build_only" -eq 0 ] || exit 0

# Runs one target from a copy of its seeds; a finding makes it exit non-zero, and so this script
# and CI. Its lines are printed together when it ends, so parallel runs do not interleave them.
run_target() {
  local name=$1 seconds=$2 work
  work=$(mktemp -d)
  [ -d "fuzz/corpus/${name#fuzz_}" ] && cp -r "fuzz/corpus/${name#fuzz_}"/. "$work"/
  if ! "build/fuzz/fuzz/$name" -max_total_time="$seconds" "$work" >"$work.log" 2>&1; then
    printf '== %s for %ss\n%s\nfuzz: %s found a problem\n' "$name" "$seconds" "$(tail -n 40 "$work.log")" "$name"
    return 1
  fi
  printf '== %s for %ss: %s\n' "$name" "$seconds" "$(tail -n 1 "$work.log")"
  rm -rf "$work" "$work.log"
}
export -f run_target
if ! printf '%s\n' "${names[@]}" | xargs -P "$(nproc)" -I '{}' bash -c 'run_target "$1" "$2"' _ '{}' "$seconds"; then
  echo "fuzz: a target found a problem (above)"
  exit 1
fi
echo "fuzz: ${#names[@]} targets ran ${seconds}s each without findings"
