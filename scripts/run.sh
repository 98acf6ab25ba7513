#!/usr/bin/env bash
# Builds the program folder and starts Velmor on the desktop. The program needs two file
# capabilities to block (tear connections down) and to keep its bait listener on port 80; they are
# granted here, with sudo when not run as root. Extra arguments go to velmor (e.g. --headless).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --run
cmake --preset default >/dev/null
# Only the four programs: the program folder P with velmor, hostlet, support/ and help/.
cmake --build --preset default -j "$(nproc)" --target velmor hostlet updater fetchel
program=build/default/P/velmor
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
# setcap must come after the last write of the file: rebuilding or copying it drops the capabilities.
$sudo_cmd setcap cap_net_admin,cap_net_bind_service+ep "$program" ||
  echo "run: could not grant capabilities; Velmor will monitor but not block" >&2
exec "$program" "$@"
