#!/usr/bin/env bash
# The Debian package of a build folder, made afresh by cpack and checked as a user gets it.
#   package.sh BUILD_DIR
# Every architecture: the file name, the Architecture field, worked-out dependencies, the
# layout (program, data, link, documents), the data byte for byte as the build made it,
# the program built for that architecture, and no lintian error. The build machine's own
# architecture also unpacks into a scratch root and runs the installed quorvelt headless
# on a pseudo-terminal until a key, which must end it with status 0: it found its data.
set -uo pipefail
build=$(cd "$1" && pwd) || exit 1
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
  ./usr/share/doc/quorvelt/{README.md,copyright,changelog.gz} ./usr/share/man/man1/quorvelt.1.gz
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
fi
echo "package $arch: ok"
