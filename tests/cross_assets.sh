#!/usr/bin/env bash
# Cross builds: the assets are the native build's bytes.
#   cross_assets.sh NATIVE_BUILD THIS_BUILD EMULATOR... TARGET_GENERATOR
# 1. THIS_BUILD/data (what the package ships) equals NATIVE_BUILD/data file for file.
# 2. The target's own generator, run through the emulator, draws and composes the same
#    bytes (covers, captions, module, contact sheet): its arithmetic does not depend on
#    the machine. Only the MP3 may differ, as the target's libmp3lame rounds differently.
set -uo pipefail
native=$1 here=$2
shift 2
fail=0
names=$(cd "$native/data" && ls) || exit 1
for n in $names; do
  cmp -s "$native/data/$n" "$here/data/$n" || { echo "data/$n differs from the native build's"; fail=1; }
done
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "running the target generator under emulation: $*"
"$@" --out "$out/data" --sheet "$out/sheet.png" >/dev/null || { echo "target generator failed"; exit 1; }
[ "$(cd "$out/data" && ls)" = "$(cd "$native/data" && ls *.ktx *.mp3 *.mod)" ] || { echo "target generator wrote other files"; fail=1; }
for n in $(cd "$out/data" && ls *.ktx *.mod) ../sheet.png; do
  ref="$native/data/$n"
  [ "$n" = ../sheet.png ] && ref="$native/contact-sheet.png"
  cmp -s "$ref" "$out/data/$n" || { echo "target generator's $n differs from the native one"; fail=1; }
done
[ $fail -eq 0 ] && echo "$(echo "$names" | wc -w) data files identical to $native/data"
exit $fail
