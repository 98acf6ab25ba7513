#!/usr/bin/env bash
# Renders every tab of the main window under Xvfb, with the Korean fonts, into docs/screenshots/.
#   scripts/screenshots.sh [BUILD_FOLDER]   (default: build/default, configured and built if needed)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
if [ ! -f "$build/build.ninja" ]; then
  cmake --preset default >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target velmor_screenshots
mkdir -p docs/screenshots
xvfb-run -a -s "-screen 0 1280x800x24" env QT_QPA_PLATFORM=xcb "$build/tests/velmor_screenshots" docs/screenshots
