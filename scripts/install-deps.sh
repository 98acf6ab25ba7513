#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing, fuzzing and benchmarking Velmor needs.
# Run as root (or it re-runs itself through sudo). Safe to run again.
set -euo pipefail
if [ "$(id -u)" -ne 0 ]; then
  exec sudo "$0" "$@"
fi
export DEBIAN_FRONTEND=noninteractive
packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev clang-format
  # kernel socket events: the BPF program, its skeleton and the loader
  libbpf-dev bpftool
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev python3 curl openssl
  # libraries of the programs
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-translations-l10n libxcb1-dev libgl-dev
  libcurl4-openssl-dev libssl-dev zlib1g-dev libnftables-dev
  # run-time tools the programs and the end-to-end tests use
  iproute2 nftables libcap2-bin util-linux procps nginx-light xvfb xauth fonts-nanum x11-utils
  # a real desktop for the window tests: window manager, panel with a tray, X clients, the fonts
  # of an ordinary desktop
  openbox tint2 xdotool wmctrl fonts-dejavu fonts-noto fonts-noto-mono
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# nginx-light starts a server on port 80 when installed; the tests start their own.
if command -v systemctl >/dev/null && systemctl is-active -q nginx 2>/dev/null; then systemctl stop nginx || true; fi
pkill -x nginx 2>/dev/null || true
echo "install-deps: all packages present"
