#!/usr/bin/env bash
# Builds Velmor and runs the whole test suite: unit, GUI (offscreen), end-to-end (in network
# namespaces the tests make themselves; needs root), the same again under ASan/UBSan, a build
# without the GUI, the Windows build under wine, the Debian package (also installed into a booted
# Debian 12 container), and every fuzz target for a bounded time.
#   VELMOR_FUZZ_SECONDS   seconds per fuzz target (default 20)
#   VELMOR_SKIP_ASAN=1    leave the sanitizer pass out (for a quick local run; CI never sets it)
# Every build goes through one compiler cache (scripts/compiler-cache.sh): the nogui build's compile
# commands are the ci build's, so it takes their objects and compiles only what differs. The tests
# and the package checks mostly wait (on child programs, sockets, timers, containers), so the
# CPU-bound work runs beside them at a low priority: clang-tidy, the ASan build and the fuzz targets'
# build from the end of the ci build on, the fuzzers beside the ASan tests. Their output follows when they end. Each
# stage's heading says how many seconds the run has taken so far.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
source scripts/compiler-cache.sh
jobs=$(nproc)
logs=build/test-logs
mkdir -p "$logs"

# beside NAME COMMAND...: starts COMMAND in the background, in a process group of its own, its output
# kept in build/test-logs/NAME.log. Should this script stop early, it ends that group (and only that).
declare -A beside_pids=()
beside() {
  local name=$1
  shift
  setsid "$@" >"$logs/$name.log" 2>&1 &
  beside_pids[$name]=$!
}
# beside_idle [-n NICE] NAME COMMAND...: the same at a low priority (19 unless given). Its own
# session is its own autogroup, and the kernel shares the CPU between autogroups by the group's nice
# value whatever a process's own, so the group is niced as well as the command.
beside_idle() {
  local nice=19
  if [ "$1" = -n ]; then
    nice=$2
    shift 2
  fi
  local name=$1
  shift
  beside "$name" bash -c 'echo "$0" >/proc/self/autogroup 2>/dev/null || true; exec nice -n "$0" "$@"' "$nice" "$@"
}
end_beside() {
  local pid
  # The group, or the process itself while it has not made its group yet.
  for pid in "${beside_pids[@]}"; do kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true; done
}
trap end_beside EXIT
# joined NAME: waits for it, shows its output, and fails when it failed.
joined() {
  local name=$1 status=0
  wait "${beside_pids[$name]}" || status=$?
  unset "beside_pids[$name]"
  cat "$logs/$name.log"
  [ "$status" -eq 0 ] || { echo "test.sh: $name failed (status $status)" >&2; exit "$status"; }
}

# The bare Debian 12 root of the booted-package check downloads while everything builds.
beside bootroot ./scripts/package-boot-check.sh --prepare

# stage TEXT: a stage's heading, with the seconds since the start.
stage() { echo "== $1 (at ${SECONDS} s)"; }

stage "every C and C++ file in the style of .clang-format"
./scripts/format.sh --check

stage "build and test (warnings are errors)"
cmake --preset ci "${velmor_cache[@]}" >/dev/null
cmake --build --preset ci -j "$jobs"
# Priorities by when each is needed: clang-tidy right after the ci tests, the ASan build after the
# package checks, the fuzz targets' build last.
beside_idle -n 5 tidy ./scripts/tidy.sh build/ci
if [ "${VELMOR_SKIP_ASAN:-0}" != 1 ]; then
  # A sanitizer's report needs files and lines only: line tables (-g1) compile about a tenth faster
  # than full debug information, and lld links two to three times faster than ld.bfd.
  cmake --preset asan -DVELMOR_WERROR=ON "${velmor_cache[@]}" -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1 \
    -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld >/dev/null
  beside_idle -n 10 asanbuild cmake --build --preset asan -j "$jobs"
fi
# The fuzzers run later from the same build: the lock keeps them after it.
beside_idle fuzzbuild flock build/fuzz.lock ./scripts/fuzz.sh --build-only
ctest --preset ci -j "$jobs"

stage "clang-tidy over the code without widgets and the platform layer"
joined tidy

stage "Debian package: build, lintian, install into a fresh root, start to the tray, purge"
./scripts/package-check.sh build/ci

stage "Windows: the core, Hostlet and Fetchel cross-built with mingw-w64 and tested under wine"
./scripts/test-windows.sh

stage "Debian package in a booted Debian 12 container: the guard from its unit, a user blocks an intruder"
joined bootroot
./scripts/package-boot-check.sh build/ci

stage "build and test without the GUI (the core, Hostlet and Fetchel need no Qt Widgets)"
cmake --preset nogui -DVELMOR_WERROR=ON "${velmor_cache[@]}" >/dev/null
cmake --build --preset nogui -j "$jobs"
ctest --preset nogui -j "$jobs"

if [ "${VELMOR_SKIP_ASAN:-0}" != 1 ]; then
  stage "ASan/UBSan"
  joined asanbuild
  beside_idle fuzz flock build/fuzz.lock ./scripts/fuzz.sh "${VELMOR_FUZZ_SECONDS:-20}"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --preset asan -j "$jobs"
else
  beside_idle fuzz flock build/fuzz.lock ./scripts/fuzz.sh "${VELMOR_FUZZ_SECONDS:-20}"
fi

stage "fuzz targets"
joined fuzzbuild
joined fuzz
if command -v ccache >/dev/null; then ccache --show-stats | sed -n '/Hits/,/Misses/p'; fi
stage "all passed"
