#!/usr/bin/env bash
# Builds the Debian package of Velmor: build/<preset>/package/velmor_<version>_<arch>.deb
#   scripts/package.sh [BUILD_FOLDER]   (default build/default, configured when needed)
# Install it with: sudo apt install ./build/default/package/velmor_<version>_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
./scripts/install-deps.sh --package
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset default >/dev/null
fi
targets=(velmor hostlet updater fetchel velmor_package_files)
# The privileged helper, once the tree has it.
if ninja -C "$build" -t query velmor-guard >/dev/null 2>&1; then targets+=(velmor-guard); fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
rm -f "$build"/package/velmor_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/package/velmor_*.deb)
echo "package: $deb"
