#!/usr/bin/env bash
# The Windows stage of the test suite: the `windows` preset (mingw-w64 cross build of the core,
# Hostlet and Fetchel) built and tested under wine, with the time it took. docs/windows.md says
# what it covers. scripts/test.sh runs it; it can run alone after scripts/install-deps.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
start=$(date +%s)
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
ctest --preset windows -j "$jobs"
echo "windows stage: $(($(date +%s) - start)) s"
