#!/usr/bin/env bash
# The quick check before a commit: the style, the ci build (warnings are errors) and the tests
# labelled unit (no root, no namespaces, no display, no network). A few minutes on a warm build;
# scripts/test.sh runs everything that CI runs.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/compiler-cache.sh
jobs=$(nproc)

./scripts/format.sh --check
cmake --preset ci "${velmor_cache[@]}" >/dev/null
cmake --build --preset ci -j "$jobs"
ctest --preset ci -L '^unit$' -j "$jobs"
