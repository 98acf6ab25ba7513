#!/usr/bin/env bash
# Renders the tab "네트웍 명령", the help window (over the shipped help pages) and the About window
# as real windows on a virtual X screen, with the Korean fonts, into docs/screenshots/ (PNG).
# The GUI test program draws them when VELMOR_SCREENSHOT_DIR is set.
# Usage: scripts/screenshots-tools.sh [build folder, default build/default]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset default >/dev/null
fi
cmake --build "$build" -j "$(nproc)" --target shell_help_about_gui_test
out="$PWD/docs/screenshots"
mkdir -p "$out"
VELMOR_SCREENSHOT_DIR="$out" VELMOR_PROGRAM_DIR="$PWD/$build/P" QT_QPA_PLATFORM=xcb \
  xvfb-run -a -s "-screen 0 1280x800x24" "$build/tests/shell_help_about_gui_test" \
  --gtest_filter='FrmHelpShipped.*:FrmAbout.*:NetworkToolsLook.*'
echo "screenshots: $out/network-tools.png $out/help.png $out/about.png"
