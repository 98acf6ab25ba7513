#!/usr/bin/env bash
# Renders every tab of the main window under Xvfb, with the Korean fonts, into docs/screenshots/;
# with openbox and a tint2 panel running there, the intruder notice from the tray as well.
#   scripts/screenshots.sh [BUILD_FOLDER]   (default: build/default, configured and built if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
if [ ! -f "$build/build.ninja" ]; then
  cmake --preset default >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target velmor_screenshots
mkdir -p docs/screenshots
# Inside the virtual display: a window manager and a panel with a tray, stopped again by their ids.
xvfb-run -a -s "-screen 0 1280x800x24" sh -c '
  started=""
  if command -v openbox >/dev/null && command -v tint2 >/dev/null; then
    openbox >/dev/null 2>&1 & started="$started $!"
    sleep 1
    tint2 >/dev/null 2>&1 & started="$started $!"
    sleep 2
  fi
  status=0
  env QT_QPA_PLATFORM=xcb "$1/tests/velmor_screenshots" docs/screenshots || status=$?
  [ -n "$started" ] && kill $started 2>/dev/null
  exit $status
' sh "$build"
