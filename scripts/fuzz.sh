#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time from its seed corpus.
# Usage: scripts/fuzz.sh [seconds-per-target]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
cmake --preset fuzz >/dev/null
# Build only the fuzz targets (and what they link), not the tests and programs.
mapfile -t names < <(ninja -C build/fuzz -t targets all | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\): .*/\1/p' | sort -u)
if [ ${#names[@]} -eq 0 ]; then
  echo "fuzz: no fuzz targets"
  exit 1
fi
cmake --build build/fuzz -j "$(nproc)" --target "${names[@]}"
targets=()
for name in "${names[@]}"; do targets+=("build/fuzz/fuzz/$name"); done
for target in "${targets[@]}"; do
  name=$(basename "$target")
  corpus="fuzz/corpus/${name#fuzz_}"
  work=$(mktemp -d)
  [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
  echo "== $name for ${seconds}s"
  # A finding makes the fuzzer exit non-zero, and so this script and CI.
  if ! "$target" -max_total_time="$seconds" "$work" >"$work.log" 2>&1; then
    tail -n 40 "$work.log"
    echo "fuzz: $name found a problem"
    exit 1
  fi
  tail -n 1 "$work.log"
  rm -rf "$work" "$work.log"
done
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without findings"
