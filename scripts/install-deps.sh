#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing, fuzzing, packaging and benchmarking
# Velmor needs. It installs packages and nothing else: it starts, stops and kills no process. For the
# fleet tests it also unpacks Debian's crowdsec binaries into a cache (scripts/crowdsec-lapi.sh
# prepare), without installing that package.
#   scripts/install-deps.sh          everything (what scripts/test.sh needs)
#   scripts/install-deps.sh --run      only what building and running from the source tree needs
#   scripts/install-deps.sh --package  that, and what building the Debian package needs
# Run as root (or it re-runs itself through sudo). Safe to run again.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  exec sudo "$0" "$@"
fi
export DEBIAN_FRONTEND=noninteractive
packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev clang-format
  # the sanitizer and fuzz builds link with lld (three times faster than ld.bfd)
  lld
  # the compiler cache the build scripts share between presets
  ccache
  # kernel socket events: the BPF program, its skeleton and the loader
  libbpf-dev bpftool
  # tests and benchmarks (the build configures them, so running from the source tree needs them too)
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev python3 curl openssl
  # libraries of the programs
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-translations-l10n libxcb1-dev libgl-dev
  libcurl4-openssl-dev libssl-dev zlib1g-dev libnftables-dev nlohmann-json3-dev
  # run-time tools the programs and the end-to-end tests use
  iproute2 nftables libcap2-bin util-linux procps iputils-ping xvfb xauth fonts-nanum x11-utils
)
mode=${1:-all}
if [ "$mode" != --run ]; then
  # the Debian package's icons (dpkg-dev, for its dependencies, comes with build-essential)
  packages+=(librsvg2-bin)
fi
if [ "$mode" = all ]; then
  packages+=(
    # the update tests run their own nginx on a loopback port of their own
    nginx-light
    # the checks of the package and of its desktop files
    lintian desktop-file-utils appstream man-db
    # a real desktop for the window tests: window manager, panel with a tray, X clients, the fonts
    # of an ordinary desktop
    openbox tint2 xdotool wmctrl fonts-dejavu fonts-noto fonts-noto-mono
    # the Windows build (the `windows` preset): mingw-w64 with the posix thread model, zlib for it,
    # wine to run its tests, and the Korean locale's sources (the tests compile it themselves)
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 locales
    # a Wayland desktop for the window tests: sway (headless) with swaybar's tray, Qt's wayland
    # platform, a session bus, screenshots and a virtual keyboard
    sway qt6-wayland dbus-daemon grim wtype
    # the package booted in a Debian 12 container (scripts/package-boot-check.sh)
    systemd-container debootstrap
  )
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# The fleet tests run a real CrowdSec Local API: its binaries, taken from the package without running
# the package's scripts (they would register with CrowdSec's online API).
crowdsec_binaries() {
  if [ "$mode" = all ]; then "$(dirname "$0")/crowdsec-lapi.sh" prepare; fi
}
if [ ${#missing[@]} -eq 0 ]; then
  crowdsec_binaries
  echo "install-deps: all packages present"
  exit 0
fi
# Debian starts a service as soon as its package is installed: nginx-light would serve port 80 of
# the machine (the port Velmor's bait listener wants). The tests need only the nginx program, so
# while these packages install, a policy-rc.d refuses every service start. An existing policy of
# the machine is left as it is.
policy=/usr/sbin/policy-rc.d
if [ ! -e "$policy" ]; then
  trap 'rm -f "$policy"' EXIT
  printf '#!/bin/sh\n# Written by Velmor'"'"'s install-deps.sh for the length of one install.\nexit 101\n' >"$policy"
  chmod 755 "$policy"
fi
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
# The window tests start desktop programs with fresh home folders: the system's font cache must
# be complete so that none of them scans every font on its first start.
if command -v fc-cache >/dev/null; then fc-cache -s; fi
crowdsec_binaries
echo "install-deps: all packages present"
