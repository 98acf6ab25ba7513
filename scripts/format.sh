#!/usr/bin/env bash
# Formats every tracked C and C++ file with .clang-format; with --check, changes nothing and fails
# when a file differs.
set -euo pipefail
cd "$(dirname "$0")/.."
format=$(command -v clang-format || command -v clang-format-14)
# BPF programs keep the kernel's own style: vmlinux.h must come before the libbpf headers.
# The kernel's types (vmlinux.h) are bpftool's output, kept as it wrote them.
mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h' '*.c' ':!:*.bpf.c' ':!:guard/events/bpf/*/vmlinux.h')
if [ "${1:-}" = --check ]; then
  "$format" --dry-run --Werror "${files[@]}"
  echo "format-check: ${#files[@]} files as .clang-format wants"
else
  "$format" -i "${files[@]}"
fi
