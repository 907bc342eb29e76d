#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo on the display it finds.
# With no display at all it records the show to build/demo.mp4 instead.
# Arguments go to the demo (exactly one argument skips the carousel).
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"

has_display() {
  [ -n "${DGL_PLATFORM:-}" ] && return 0
  # A desktop: Wayland (with or without XWayland) or X.
  [ -n "${WAYLAND_DISPLAY:-}" ] && return 0
  [ -n "${DISPLAY:-}" ] && return 0
  # A Linux console with a connected display: the demo shows the show there (kms).
  grep -qx connected /sys/class/drm/card*-*/status 2>/dev/null && return 0
  return 1
}

if has_display; then
  exec build/demo "$@"
fi
if [ -x build/demo-capture ]; then
  echo "run.sh: no display found; recording the show to build/demo.mp4 instead" >&2
  build/demo-capture -o build/demo.mp4 "$@"
  echo "run.sh: the show is in build/demo.mp4" >&2
  exit 0
fi
echo "run.sh: no display found (set WAYLAND_DISPLAY or DISPLAY, or DGL_PLATFORM=headless to run offscreen)" >&2
exit 1
