#!/usr/bin/env bash
# Cross build for a Raspberry Pi class board, tested under user-mode emulation.
#   scripts/cross.sh arm64|armhf [--no-tests]
# Installs what is missing (Debian's cross compiler, qemu-user and the target's -dev
# packages through multiarch), builds the native tree's asset generator (the assets are
# its bytes on every architecture), builds into build-ARCH/, runs the unit tests (and on
# arm64 the GL tests, on the target's own Mesa llvmpipe) through qemu, then makes and
# checks build-ARCH/quorvelt_VERSION_ARCH.deb. armhf also cross-compiles the VideoCore
# build (-DDGL_RPI=ON) into build-armhf-rpi/ against platform/videocore's headers; arm64
# also gets qemu-system-arm and the arm64 kernel and busybox (scripts/vm-kernel.sh arm64)
# for vm.kms_console.arm64, run with: ctest --test-dir build-arm64 -L vm
set -euo pipefail
cd "$(dirname "$0")/.."

usage() { echo "usage: scripts/cross.sh arm64|armhf [--no-tests]" >&2; exit 2; }
[ $# -ge 1 ] || usage
case "$1" in
  -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  arm64) triplet=aarch64-linux-gnu ;;
  armhf) triplet=arm-linux-gnueabihf ;;
  *) usage ;;
esac
arch=$1
tests=1
case "${2:-}" in
  "") ;;
  --no-tests) tests=0 ;;
  *) usage ;;
esac
jobs=$(nproc 2>/dev/null || echo 2)
werror=()
[ -n "${CI:-}" ] && werror=(-DDGL_WERROR=ON)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
apt=(apt-get -o DPkg::Lock::Timeout=600)

bash scripts/deps.sh
packages=(crossbuild-essential-$arch qemu-user)
# arm64 also boots a whole machine for the KMS console test (vm.kms_console.arm64).
[ "$arch" = arm64 ] && packages+=(qemu-system-arm)
for p in libegl-dev libgles-dev libegl-mesa0 libgl1-mesa-dri libgbm-dev libdrm-dev libx11-dev libxrandr-dev libxinerama-dev libxss-dev \
         libxfixes-dev libxtst-dev libgtest-dev libmpg123-dev libopenmpt-dev libsdl2-dev libmp3lame-dev libpng-dev libasound2-dev libpulse-dev libpipewire-0.3-dev; do
  packages+=("$p:$arch")
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "cross: installing ${missing[*]}" >&2
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $sudo dpkg --add-architecture "$arch"
  fi
  $sudo "${apt[@]}" update -qq
  # The target's packages must sit beside the machine's own: refuse anything that
  # would remove a package (a Multi-Arch: same library whose version differs, say).
  plan=$("${apt[@]}" -s install --no-install-recommends "${missing[@]}")
  if grep -q '^Remv' <<<"$plan"; then
    echo "cross: installing would remove packages; nothing done:" >&2
    grep '^Remv' <<<"$plan" >&2
    exit 1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo "${apt[@]}" install -y -qq --no-install-recommends \
    "${missing[@]}" >&2
fi

if [ "$arch" = arm64 ]; then
  bash scripts/vm-kernel.sh arm64 ||
    echo "cross: no arm64 kernel for the virtual-machine test (vm.kms_console.arm64 will be skipped)" >&2
fi

echo "== native asset generator (build/)"
cmake -S . -B build -G Ninja "${werror[@]}" >/dev/null
cmake --build build -j "$jobs" --target demo-assets demo_data

dir=build-$arch
echo "== cross build ($dir/)"
start=$SECONDS
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-$arch.cmake" \
  -DDGL_ASSET_GENERATOR="$PWD/build/demo-assets" -DDGL_NATIVE_BUILD="$PWD/build" \
  "${werror[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
echo "cross: $arch build took $((SECONDS - start)) s"

if [ "$arch" = armhf ]; then
  # The VideoCore half, as a Pi with /opt/vc builds it: bcm_host from the stand-in's
  # header and a library of the stand-in, EGL and GLES from the target's Mesa headers.
  rpi=$PWD/build-armhf-rpi
  echo "== VideoCore build ($rpi/)"
  mkdir -p "$rpi/vc/lib/pkgconfig"
  $triplet-g++ -std=c++17 -O2 -fPIC -shared -Wall -Wextra "${werror[@]/-DDGL_WERROR=ON/-Werror}" \
    -o "$rpi/vc/lib/libbcm_host.so" platform/videocore/bcm_host.cpp
  pc=$rpi/vc/lib/pkgconfig
  printf 'Name: bcm_host\nDescription: VideoCore stand-in\nVersion: 1\nCflags: -I%s\nLibs: -L%s -lbcm_host\n' \
    "$PWD/platform/videocore" "$rpi/vc/lib" >"$pc/bcm_host.pc"
  printf 'Name: brcmegl\nDescription: EGL\nVersion: 1\nRequires: egl\n' >"$pc/brcmegl.pc"
  printf 'Name: brcmglesv2\nDescription: GLES\nVersion: 1\nRequires: glesv2\n' >"$pc/brcmglesv2.pc"
  PKG_CONFIG_PATH=$pc cmake -S . -B "$rpi" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake" \
    -DDGL_RPI=ON -DDGL_TESTS=OFF -DDGL_ASSET_GENERATOR="$PWD/build/demo-assets" "${werror[@]}" >/dev/null
  cmake --build "$rpi" -j "$jobs" --target demo
  echo "cross: $rpi/demo built for $(readelf -h "$rpi/demo" | sed -n 's/^ *Machine: *//p')"
fi

[ $tests -eq 1 ] || exit 0
# The end-to-end tests start target programs themselves, which needs binfmt; the
# generator's own test runs the target's generator, and cross.assets does that here.
labels=unit
[ "$arch" = arm64 ] && labels='unit|gl'
echo "== $labels tests under qemu"
start=$SECONDS
ctest --test-dir "$dir" -j "$jobs" --output-on-failure -L "$labels" \
  -E '^AssetGenerator.GivesTheSameBytesOnEveryRunAndFailsLoudly$'
echo "cross: $arch $labels tests took $((SECONDS - start)) s"
echo "== package"
ctest --test-dir "$dir" --output-on-failure -L package
cpack --config "$dir/CPackConfig.cmake" -B "$dir" >/dev/null
ls -l "$dir"/quorvelt_*.deb
