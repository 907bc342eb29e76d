#!/usr/bin/env bash
# Builds the show for a browser tab into build-web/site/: index.html, quorvelt.js,
# quorvelt.wasm and quorvelt.data (the data files, preloaded), and poster.png, the start
# screen's picture. The native build (build/) is made first: its data folder is shipped,
# its demo-capture renders the module (the browser cannot play one) and draws the poster.
#   scripts/web.sh          then: python3 -m http.server -d build-web/site 8000
#   scripts/web.sh --help
set -euo pipefail
if [ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ]; then
  sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi
[ $# -eq 0 ] || { echo "web: unexpected argument '$1' (try --help)" >&2; exit 2; }
cd "$(dirname "$0")/.."
for tool in emcmake emcc ffmpeg; do
  command -v "$tool" >/dev/null || { echo "web: $tool is missing (scripts/deps.sh installs it)" >&2; exit 1; }
done
# Debian's emscripten finds its JavaScript tools (acorn) among Debian's node modules.
export NODE_PATH=${NODE_PATH:+$NODE_PATH:}/usr/share/nodejs
jobs=$(nproc 2>/dev/null || echo 2)

echo "web: native build (build/) for the data, the module's rendering and the poster" >&2
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$jobs" --target demo-capture demo_data >/dev/null

data=build-web/data
mkdir -p "$data" build-web/site
cp build/data/* "$data/"
if [ ! -s "$data/quorvelt.flac" ] || [ build/data/quorvelt.mod -nt "$data/quorvelt.flac" ] ||
   [ build/demo-capture -nt "$data/quorvelt.flac" ]; then
  echo "web: rendering quorvelt.mod as the native build plays it" >&2
  DGL_PLATFORM=headless build/demo-capture --skip-carousel --wav build-web/module.wav >/dev/null 2>&1
  ffmpeg -loglevel error -y -i build-web/module.wav -c:a flac "$data/quorvelt.flac"
  rm -f build-web/module.wav
fi
if [ ! -s build-web/site/poster.png ] || [ build/demo-capture -nt build-web/site/poster.png ]; then
  DGL_PLATFORM=headless build/demo-capture --at 12 --at-dir build-web >/dev/null 2>&1
  mv build-web/at-12.png build-web/site/poster.png
fi

echo "web: emscripten build (build-web/)" >&2
emcmake cmake -S web -B build-web -G Ninja -DDGL_WEB_DATA="$PWD/$data" >/dev/null
cmake --build build-web -j "$jobs"
echo "web: build-web/site/ is the page ($(du -sh build-web/site | cut -f1)); serve it with" >&2
echo "     python3 -m http.server -d build-web/site 8000   and open http://127.0.0.1:8000/" >&2
