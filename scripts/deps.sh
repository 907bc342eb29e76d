#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need.
# Idempotent: asks apt only for what is missing, and updates the lists only then.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libegl-dev libgles-dev libegl-mesa0 libgl1-mesa-dri libgbm-dev libdrm-dev libx11-dev
  libxrandr-dev libxinerama-dev libxfixes-dev libxss-dev libxext-dev libxtst-dev
  libwayland-dev wayland-protocols sway grim wtype xwayland weston
  libglm-dev libgtest-dev
  libmpg123-dev libopenmpt-dev libsdl2-dev libmp3lame-dev libpng-dev libasound2-dev libpulse-dev libpipewire-0.3-dev
  glslang-tools xvfb xserver-xephyr evilwm x11-utils ffmpeg
  lintian desktop-file-utils pulseaudio pulseaudio-utils libasound2-plugins pipewire pipewire-bin pipewire-pulse wireplumber
  clang libclang-rt-14-dev
  qemu-system-x86 busybox-static python3 systemd udev dbus
  emscripten chromium firefox-esr
)
# The browser build's tests run on node and npm (puppeteer-core, pinned in tests/web). A node
# that brings its own npm (NodeSource's) is kept: Debian's npm would conflict with it.
command -v npm >/dev/null || packages+=(nodejs npm)

# The kernel that the virtual-machine test boots: a package file unpacked into a cache,
# never installed. Without it that one test is skipped, so a failure here only warns.
fetch_kernel() {
  bash "$(dirname "$0")/vm-kernel.sh" ||
    echo "deps: no kernel for the virtual-machine test (the vm test will be skipped)" >&2
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  fetch_kernel
  exit 0
fi

echo "deps: installing ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >&2
fetch_kernel
