#!/usr/bin/env bash
# Builds the Raspberry Pi's own GL drivers, Mesa's vc4 (VideoCore IV: Pi 0 to 3) and v3d
# (VideoCore VI and VII: Pi 4, 5), from Debian's own Mesa source, with the noop DRM shims
# that run them without the hardware (as Mesa's shader-db does), into a cache outside the
# tree, once per machine and Mesa version:
#   ~/.cache/quorvelt-mesa/VERSION/   (DGL_MESA_CACHE moves ~/.cache/quorvelt-mesa)
# holding install/ (libEGL, libGLESv2, libgbm and the dri folder) and shims/ (the noop
# shims). Nothing is installed into the system but the build's Debian packages.
#   scripts/pi-mesa.sh                 Debian 12's Mesa (bookworm)
#   scripts/pi-mesa.sh --suite bookworm-backports   a newer Mesa, where it builds
#   scripts/pi-mesa.sh --print         the folder of the newest cached build, or nothing
set -euo pipefail
usage() { sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; }
cache=${DGL_MESA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvelt-mesa}
suite=bookworm
while [ $# -gt 0 ]; do
  case $1 in
    -h | --help) usage; exit 0 ;;
    --suite) suite=${2:?--suite needs a name}; shift 2 ;;
    --print) ls -d "$cache"/*/ready 2>/dev/null | sort -V | tail -n1 | xargs -r dirname; exit 0 ;;
    *) echo "pi-mesa: unexpected argument '$1' (try --help)" >&2; exit 2 ;;
  esac
done
say() { echo "pi-mesa: $*" >&2; }
mkdir -p "$cache"

# Debian's source lists of our own: the system's apt configuration stays as it is.
apt_opts=(-o "Dir::Etc::SourceList=$cache/sources.list" -o Dir::Etc::SourceParts=/dev/null
          -o "Dir::State::Lists=$cache/lists" -o "Dir::Cache=$cache/apt-cache" -o Debug::NoLocking=1)
uri=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
uri=${uri:-http://deb.debian.org/debian}
echo "deb-src $uri $suite main" >"$cache/sources.list"
mkdir -p "$cache/lists/partial" "$cache/apt-cache/archives/partial"
say "reading Debian's source list for $suite"
apt-get "${apt_opts[@]}" -qq update
version=$(apt-cache "${apt_opts[@]}" showsrc mesa | sed -n 's/^Version: *//p' | sort -V | tail -n1)
[ -n "$version" ] || { say "no mesa source package in $suite"; exit 1; }
dir="$cache/$version"
if [ -f "$dir/ready" ]; then
  say "Mesa $version is built in $dir"
  exit 0
fi

# What the build needs, as Debian packages (meson runs on Debian's python3, which has mako).
needs=(meson ninja-build python3-mako bison flex pkg-config libdrm-dev libexpat1-dev zlib1g-dev
       libzstd-dev dpkg-dev)
missing=()
for p in "${needs[@]}"; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

rm -rf "$dir" && mkdir -p "$dir/src"
say "fetching Debian's mesa $version source"
(cd "$dir/src" && apt-get "${apt_opts[@]}" -qq source --download-only "mesa=$version" >/dev/null &&
  dpkg-source -x --no-check ./mesa_*.dsc mesa >/dev/null)
say "configuring vc4 and v3d with the drm-shim tools"
export PATH=/usr/bin:$PATH
meson setup "$dir/build" "$dir/src/mesa" --prefix="$dir/install" --libdir=lib -Dbuildtype=release \
  -Dgallium-drivers=vc4,v3d -Dvulkan-drivers= -Dplatforms= -Dglx=disabled -Degl=enabled -Dgles1=disabled \
  -Dgles2=enabled -Dgbm=enabled -Dllvm=disabled -Dtools=drm-shim -Dvalgrind=disabled -Dlibunwind=disabled \
  -Dshared-glapi=enabled >"$dir/configure.log" 2>&1 || { tail -n 20 "$dir/configure.log" >&2; exit 1; }
say "building (about 15 minutes on two cores; the log is $dir/build.log)"
start=$SECONDS
ninja -C "$dir/build" >"$dir/build.log" 2>&1 || { tail -n 20 "$dir/build.log" >&2; exit 1; }
ninja -C "$dir/build" install >>"$dir/build.log" 2>&1
mkdir -p "$dir/shims"
find "$dir/build/src/broadcom/drm-shim" -name '*_noop_drm_shim.so' -exec cp {} "$dir/shims/" \;
ls "$dir"/shims/*v3d* "$dir"/shims/*vc4* >/dev/null 2>&1 || { say "the build made no vc4 and v3d noop shims"; exit 1; }
rm -rf "$dir/src" "$dir/build"
echo "$version" >"$dir/ready"
say "Mesa $version built in $((SECONDS - start)) s: $dir"
