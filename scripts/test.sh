#!/usr/bin/env bash
# Builds Velmor and runs the whole test suite: unit, GUI (offscreen), end-to-end (in network
# namespaces the tests make themselves; needs root), the same again under ASan/UBSan, a build
# without the GUI, the Debian package, and every fuzz target for a bounded time.
#   VELMOR_FUZZ_SECONDS   seconds per fuzz target (default 20)
#   VELMOR_SKIP_ASAN=1    leave the sanitizer pass out (for a quick local run; CI never sets it)
# Every build goes through one compiler cache (scripts/compiler-cache.sh): the nogui build's compile
# commands are the ci build's, so it takes their objects and compiles only what differs.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
source scripts/compiler-cache.sh
jobs=$(nproc)

echo "== every C and C++ file in the style of .clang-format"
./scripts/format.sh --check

echo "== build and test (warnings are errors)"
cmake --preset ci "${velmor_cache[@]}" >/dev/null
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs"

echo "== clang-tidy over the core and the platform layer"
./scripts/tidy.sh build/ci

echo "== Debian package: build, lintian, install into a fresh root, start to the tray, purge"
./scripts/package-check.sh build/ci

echo "== build and test without the GUI (the core, Hostlet and Fetchel need no Qt Widgets)"
cmake --preset nogui -DVELMOR_WERROR=ON "${velmor_cache[@]}" >/dev/null
cmake --build --preset nogui -j "$jobs"
ctest --preset nogui -j "$jobs"

if [ "${VELMOR_SKIP_ASAN:-0}" != 1 ]; then
  echo "== ASan/UBSan"
  cmake --preset asan -DVELMOR_WERROR=ON "${velmor_cache[@]}" >/dev/null
  cmake --build --preset asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --preset asan -j "$jobs"
fi

./scripts/fuzz.sh "${VELMOR_FUZZ_SECONDS:-20}"
if command -v ccache >/dev/null; then ccache --show-stats | sed -n '/Hits/,/Misses/p'; fi
