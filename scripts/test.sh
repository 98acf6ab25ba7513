#!/usr/bin/env bash
# Builds Velmor and runs the whole test suite: unit, GUI (offscreen), end-to-end (in network
# namespaces the tests make themselves; needs root), the same again under ASan/UBSan, a build
# without the GUI, the Windows build under wine, the Debian package (also installed into a booted
# Debian 12 container), and every fuzz target for a bounded time.
#   VELMOR_FUZZ_SECONDS   seconds per fuzz target (default 20)
#   VELMOR_SKIP_ASAN=1    leave the sanitizer pass out (for a quick local run; CI never sets it)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
jobs=$(nproc)

echo "== every C and C++ file in the style of .clang-format"
./scripts/format.sh --check

echo "== build and test (warnings are errors)"
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$jobs"
ctest --preset ci -j "$jobs"

echo "== clang-tidy over the core and the platform layer"
./scripts/tidy.sh build/ci

echo "== Debian package: build, lintian, install into a fresh root, start to the tray, purge"
./scripts/package-check.sh build/ci

echo "== Windows: the core, Hostlet and Fetchel cross-built with mingw-w64 and tested under wine"
./scripts/test-windows.sh

echo "== Debian package in a booted Debian 12 container: the guard from its unit, a user blocks an intruder"
./scripts/package-boot-check.sh build/ci

echo "== build and test without the GUI (the core, Hostlet and Fetchel need no Qt Widgets)"
cmake --preset nogui -DVELMOR_WERROR=ON >/dev/null
cmake --build --preset nogui -j "$jobs"
ctest --preset nogui -j "$jobs"

if [ "${VELMOR_SKIP_ASAN:-0}" != 1 ]; then
  echo "== ASan/UBSan"
  cmake --preset asan -DVELMOR_WERROR=ON >/dev/null
  cmake --build --preset asan -j "$jobs"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --preset asan -j "$jobs"
fi

./scripts/fuzz.sh "${VELMOR_FUZZ_SECONDS:-20}"
