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
#   scripts/pi-mesa.sh --run vc4|v3d COMMAND...   COMMAND on that driver and its shim, from
#                                      the newest cached build, the shader cache off and
#                                      the compiler's counts sent to the GL debug output
set -euo pipefail
usage() { sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; }
cache=${DGL_MESA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quorvelt-mesa}
suite=bookworm
say() { echo "pi-mesa: $*" >&2; }

# vc4's shim lacks four requests that any draw makes; our own handlers for them
# (tools/pi-gpu/vc4_shim_ioctls.c) are built beside it and preloaded first.
run_on() {
  local driver=${1:-} dir preload
  case $driver in vc4 | v3d) ;; *) say "--run takes vc4 or v3d, not '$driver'"; exit 2 ;; esac
  shift
  [ $# -gt 0 ] || { say "--run $driver needs a command"; exit 2; }
  dir=$(ls -d "$cache"/*/ready 2>/dev/null | sort -V | tail -n1 | xargs -r dirname || true)
  [ -n "$dir" ] || { say "no Mesa build in $cache yet: run scripts/pi-mesa.sh first"; exit 1; }
  preload=$dir/shims/lib${driver}_noop_drm_shim.so
  if [ "$driver" = vc4 ]; then
    local src extra
    src=$(cd "$(dirname "$0")/.." && pwd)/tools/pi-gpu/vc4_shim_ioctls.c
    extra=$dir/shims/libdgl_vc4_ioctls.so
    if [ ! -f "$extra" ] || [ "$src" -nt "$extra" ]; then
      cc -shared -fPIC -O2 -Wall -Wextra -Werror $(pkg-config --cflags libdrm) -o "$extra.$$" "$src" -ldl &&
        mv "$extra.$$" "$extra" || { say "cannot build $src"; exit 1; }
    fi
    preload="$extra $preload"
    export VC4_DEBUG=shaderdb
  fi
  export LD_LIBRARY_PATH=$dir/install/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
  export LIBGL_DRIVERS_PATH=$dir/install/lib/dri LD_PRELOAD=$preload MESA_LOADER_DRIVER_OVERRIDE=$driver
  export MESA_SHADER_CACHE_DISABLE=true
  exec "$@"
}
[ "${1:-}" = --run ] && { shift; run_on "$@"; }

while [ $# -gt 0 ]; do
  case $1 in
    -h | --help) usage; exit 0 ;;
    --suite) suite=${2:?--suite needs a name}; shift 2 ;;
    --print) ls -d "$cache"/*/ready 2>/dev/null | sort -V | tail -n1 | xargs -r dirname || true; exit 0 ;;
    *) echo "pi-mesa: unexpected argument '$1' (try --help)" >&2; exit 2 ;;
  esac
done

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
