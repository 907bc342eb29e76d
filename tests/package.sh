#!/usr/bin/env bash
# The Debian package of a build folder, made afresh by cpack and checked as a user gets it.
#   package.sh BUILD_DIR [FIXTURE]
# Every architecture: the file name, the Architecture field, worked-out dependencies, the
# layout (program, data, link, documents, menu entry, icons, kiosk unit), the data byte for
# byte as the build made it, the program built for that architecture, no lintian error, a
# valid desktop entry with its icon at every size the theme folder names, and a kiosk unit
# that systemd accepts and rates locked down. The build machine's own architecture also
# unpacks into a scratch root and runs the installed quorvelt headless on a pseudo-terminal
# until a key, which must end it with status 0: it found its data. With FIXTURE (tests/fixture.cpp) and Xvfb, the
# menu entry's Exec line runs as a menu runs it, without a terminal from another folder, and
# must show its picture on the X screen and end on a key there with status 0.
set -uo pipefail
build=$(cd "$1" && pwd) || exit 1
fixture=${2:-}
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

arch=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
[ -n "$arch" ] && [ -n "$version" ] || fail "no architecture or version in $build/CPackConfig.cmake"
cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log"; fail "cpack"; }
deb="$scratch/out/quorvelt_${version}_${arch}.deb"
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$scratch/out")"
echo "$(basename "$deb"): $(stat -c %s "$deb") bytes"

[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "Architecture is $(dpkg-deb -f "$deb" Architecture), not $arch"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libegl1 libgles2 libsdl2-2.0-0 libmpg123-0 libopenmpt0; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done

# The layout, exactly: nothing missing, nothing stray.
expected=$( (printf '%s\n' ./usr/bin/quorvelt ./usr/lib/quorvelt/quorvelt \
  ./usr/share/doc/quorvelt/{README.md,copyright,changelog.gz} ./usr/share/man/man1/quorvelt.1.gz \
  ./usr/share/applications/quorvelt.desktop ./usr/lib/systemd/system/quorvelt-kiosk.service \
  ./usr/share/icons/hicolor/{48x48,64x64,128x128,256x256}/apps/quorvelt.png
  for f in "$build"/data/*; do echo "./usr/lib/quorvelt/data/$(basename "$f")"; done) | sort)
dpkg-deb -c "$deb" >"$scratch/list" || fail "dpkg-deb -c"
actual=$(awk '$1 !~ /^d/ {print $6}' "$scratch/list" | sort)
[ "$expected" = "$actual" ] || fail "contents differ from the expected layout:
$(diff <(echo "$expected") <(echo "$actual"))"
grep -q ' ./usr/bin/quorvelt -> ../lib/quorvelt/quorvelt$' "$scratch/list" || fail "/usr/bin/quorvelt is no link to the program"

root="$scratch/root"
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x"
for f in "$build"/data/*; do
  cmp -s "$f" "$root/usr/lib/quorvelt/data/$(basename "$f")" || fail "data/$(basename "$f") differs from the build's"
done
machine=$(readelf -h "$root/usr/lib/quorvelt/quorvelt" | sed -n 's/^ *Machine: *//p')
case "$arch" in
  amd64) want="Advanced Micro Devices X86-64" ;;
  arm64) want=AArch64 ;;
  armhf) want=ARM ;;
  *) want="$machine" ;;
esac
[ "$machine" = "$want" ] || fail "the program is built for '$machine', not $arch"
readelf -S "$root/usr/lib/quorvelt/quorvelt" | grep -q '\.debug_' && fail "the program is not stripped"

if command -v lintian >/dev/null; then
  lintian --allow-root "$deb" >"$scratch/lintian" 2>&1
  cat "$scratch/lintian"
  grep -q '^E: ' "$scratch/lintian" && fail "lintian reports errors"
else
  echo "lintian not installed: not checked"
fi

desktop="$root/usr/share/applications/quorvelt.desktop"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop" || fail "the desktop entry does not validate"
else
  echo "desktop-file-validate not installed: the entry's syntax not checked"
fi
grep -qx 'Terminal=false' "$desktop" && grep -qx 'Icon=quorvelt' "$desktop" || fail "the entry needs no terminal and names the icon"
for icon in "$root"/usr/share/icons/hicolor/*/apps/quorvelt.png; do
  folder=$(basename "$(dirname "$(dirname "$icon")")")
  size=$(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(26); print("%dx%d" % struct.unpack(">II", d[16:24]) if d[:8]==b"\x89PNG\r\n\x1a\n" and d[25]==6 else "not RGBA PNG")' "$icon")
  [ "$size" = "$folder" ] || fail "$folder/apps/quorvelt.png is $size"
done
unit="$root/usr/lib/systemd/system/quorvelt-kiosk.service"
if command -v systemd-analyze >/dev/null; then
  # Checked as shipped, its program found where this scratch root holds it.
  sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$scratch/quorvelt-kiosk.service"
  systemd-analyze verify --man=no "$scratch/quorvelt-kiosk.service" || fail "systemd-analyze verify refuses the kiosk unit"
  # Locked down: an exposure of 2.0 at most (of 10).
  systemd-analyze security --offline=yes --threshold=20 "$scratch/quorvelt-kiosk.service" >"$scratch/security" 2>&1 ||
    { cat "$scratch/security"; fail "the kiosk unit is exposed"; }
  tail -n1 "$scratch/security"
else
  echo "systemd-analyze not installed: the kiosk unit not checked (skipped)"
fi

if [ "$arch" = "$(dpkg --print-architecture)" ]; then
  # A key now and then until it ends: the first may come before the terminal is switched.
  env -i PATH="$PATH" DGL_PLATFORM=headless EGL_PLATFORM=surfaceless LIBGL_ALWAYS_SOFTWARE=1 \
    SDL_AUDIODRIVER=dummy TERM=dumb \
    bash -c 'while printf x; do sleep 0.5; done | timeout 300 script -qefc "$0" /dev/null' \
    "$root/usr/bin/quorvelt" >"$scratch/run.log" 2>&1
  status=$?
  grep -q '^ERROR' "$scratch/run.log" && { cat "$scratch/run.log"; fail "the installed program logged an error"; }
  [ $status -eq 0 ] || { cat "$scratch/run.log"; fail "the installed program ended with status $status"; }
  echo "installed quorvelt ran from $root/usr/bin and ended on a key with status 0"

  if [ -n "$fixture" ] && command -v Xvfb >/dev/null; then
    # An X server of the fixture library's: it prints DISPLAY=, then "ready", and ends when
    # its input closes.
    coproc serve { exec "$fixture" serve xvfb=1024x768; }
    read -r display <&"${serve[0]}" && read -r ready <&"${serve[0]}" && [ "$ready" = ready ] || fail "Xvfb did not start"
    export "${display?}"
    menu=""
    trap 'kill $menu 2>/dev/null; rm -rf "$scratch"' EXIT
    command=$(sed -n 's/^Exec=//p' "$desktop")
    # As a menu starts it: its own session, no terminal, input /dev/null, another folder.
    (cd / && exec env -i PATH="$root/usr/bin:$PATH" DISPLAY="$DISPLAY" SDL_AUDIODRIVER=dummy \
      setsid $command </dev/null >"$scratch/menu.log" 2>&1) &
    menu=$!
    "$fixture" x-wait-picture || { cat "$scratch/menu.log"; fail "the menu's '$command' showed no picture"; }
    "$fixture" x-key
    wait $menu
    status=$?
    grep -q '^ERROR' "$scratch/menu.log" && { cat "$scratch/menu.log"; fail "the menu's '$command' logged an error"; }
    [ $status -eq 0 ] || { cat "$scratch/menu.log"; fail "the menu's '$command' ended with status $status"; }
    echo "the menu entry's '$command' showed the show on Xvfb without a terminal and ended on a key with status 0"
  fi
fi
echo "package $arch: ok"
