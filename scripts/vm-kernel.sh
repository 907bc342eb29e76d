#!/usr/bin/env bash
# Fetches the Debian kernel that the virtual-machine test boots: the package file of the
# current linux-image-ARCH release, unpacked into a cache outside the source tree (never
# installed), kept down to the kernel image and the modules the guest loads. For arm64
# also the static arm64 busybox (busybox-static:arm64, unpacked, as it cannot sit beside
# the machine's own) that is the guest's shell there.
#   scripts/vm-kernel.sh [amd64|arm64]   fetch into $DGL_VM_CACHE (default ~/.cache/quorvelt-vm)
#   scripts/vm-kernel.sh --help
set -euo pipefail
if [ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ]; then
  sed -n '2,8p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi
arch=${1:-amd64}
case "$arch" in
  amd64|arm64) ;;
  *) echo "vm-kernel: unknown architecture '$arch' (amd64 or arm64; try --help)" >&2; exit 2 ;;
esac
[ $# -le 1 ] || { echo "vm-kernel: unexpected argument '$2' (try --help)" >&2; exit 2; }

cache=${DGL_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvelt-vm}
[ "$(uname -m)" = x86_64 ] || { echo "vm-kernel: only x86_64 hosts are covered" >&2; exit 1; }
command -v busybox >/dev/null || { echo "vm-kernel: busybox is missing (busybox-static)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvelt-kernel-XXXXXX")
trap 'rm -rf "$work"' EXIT
download() {
  (cd "$work" && apt-get download -q "$1" 2>&1 | grep -v '^W: Download is performed unsandboxed' >&2 || true)
  deb=$(ls "$work"/${2}_*.deb 2>/dev/null | head -n1)
  [ -n "$deb" ] || { echo "vm-kernel: apt-get download $1 failed" >&2; exit 1; }
}

if [ "$arch" = arm64 ] && [ ! -x "$cache/busybox-arm64" ]; then
  dpkg --print-foreign-architectures | grep -qx arm64 ||
    { echo "vm-kernel: arm64 is not a foreign architecture here (scripts/cross.sh arm64 adds it)" >&2; exit 1; }
  echo "vm-kernel: downloading busybox-static:arm64" >&2
  download busybox-static:arm64 busybox-static
  dpkg -x "$deb" "$work/bb"
  mkdir -p "$cache"
  cp "$work/bb/bin/busybox" "$cache/busybox-arm64.new"
  mv "$cache/busybox-arm64.new" "$cache/busybox-arm64"
fi

pkg=$(apt-cache depends "linux-image-$arch:$arch" 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
pkg=${pkg%:*}
[ -n "$pkg" ] || { echo "vm-kernel: apt knows no linux-image-$arch (run apt-get update)" >&2; exit 1; }
version=${pkg#linux-image-}
dest=$cache/$version
# The guest's drivers; their dependencies come from the package's own module tree. vgem is
# a render-only card, loaded first so that the display is not card0 (as on a Pi 4 or 5);
# the HDA driver plays through QEMU's emulated sound card; overlay makes the host's root
# writable for a boot under systemd.
wanted="kernel/drivers/virtio/virtio_pci.ko kernel/drivers/gpu/drm/virtio/virtio-gpu.ko
kernel/net/9p/9pnet_virtio.ko kernel/fs/9p/9p.ko kernel/drivers/virtio/virtio_input.ko
kernel/drivers/gpu/drm/vgem/vgem.ko kernel/sound/pci/hda/snd-hda-intel.ko
kernel/sound/pci/hda/snd-hda-codec-generic.ko kernel/fs/overlayfs/overlay.ko"
# A cache made for another list of drivers is made again.
if [ -f "$dest/vmlinuz" ] && [ -f "$dest/lib/modules/$version/modules.dep" ] &&
   [ "$(cat "$dest/wanted" 2>/dev/null)" = "$wanted" ]; then
  exit 0
fi

echo "vm-kernel: downloading $pkg" >&2
download "$pkg:$arch" "$pkg"
echo "vm-kernel: unpacking $(basename "$deb")" >&2
dpkg -x "$deb" "$work/x"
tree=$work/x/lib/modules/$version
busybox depmod -b "$work/x" "$version"

needed=""
todo=$wanted
while [ -n "$todo" ]; do
  next=""
  for m in $todo; do
    case " $needed " in *" $m "*) continue ;; esac
    # Built into this kernel (arm64 has virtio's PCI transport inside, say).
    [ -f "$tree/$m" ] || continue
    needed="$needed $m"
    next="$next $(awk -v m="$m:" '$1 == m {for (i = 2; i <= NF; i++) print $i}' "$tree/modules.dep")"
  done
  todo=$next
done

rm -rf "$dest.new"
mkdir -p "$dest.new/lib/modules/$version"
cp "$work/x/boot/vmlinuz-$version" "$dest.new/vmlinuz"
cp "$work/x/boot/config-$version" "$dest.new/config"
for m in $needed; do
  mkdir -p "$dest.new/lib/modules/$version/$(dirname "$m")"
  cp "$tree/$m" "$dest.new/lib/modules/$version/$m"
done
busybox depmod -b "$dest.new" "$version"
printf '%s' "$wanted" >"$dest.new/wanted"
rm -rf "$dest"
mv "$dest.new" "$dest"
echo "vm-kernel: $version in $dest ($(echo $needed | wc -w) modules)" >&2
