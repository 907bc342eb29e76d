#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite through CTest: the
# normal build (every test, the Pi's GL drivers' among them), the browser build in
# chromium and firefox, then an ASan+UBSan build (unit and GL tests).
#   ./test.sh            everything
#   ./test.sh -R Regex   only matching tests, normal build only
# The sanitizer stage ends with each libFuzzer target for about 30 s (tests/fuzz/run.sh).
set -euo pipefail
cd "$(dirname "$0")"
bash scripts/deps.sh

# The Raspberry Pi's own GL drivers (Mesa's vc4 and v3d on their noop DRM shims) for the
# pi tests: built once per machine into a cache outside the tree, about 15 minutes the
# first time. Without them those tests are skipped.
if [ -z "$(bash scripts/pi-mesa.sh --print)" ]; then
  echo "== the Pi's GL drivers (scripts/pi-mesa.sh, once per machine)"
  bash scripts/pi-mesa.sh || echo "== the Pi's GL drivers could not be built: the pi tests will be skipped" >&2
fi

jobs=$(nproc 2>/dev/null || echo 2)
werror=()
[ -n "${CI:-}" ] && werror=(-DDGL_WERROR=ON)

echo "== build (build/)"
cmake -S . -B build -G Ninja "${werror[@]}" >/dev/null
cmake --build build -j "$jobs"
echo "== tests"
if [ $# -gt 0 ]; then
  exec ctest --test-dir build -j "$jobs" --output-on-failure "$@"
fi
ctest --test-dir build -j "$jobs" --output-on-failure

# The browser build (scripts/web.sh) in Debian's chromium and firefox-esr, headless, through
# puppeteer-core (tests/web/package.json, pinned with its lock file; no browser is downloaded).
if command -v emcc >/dev/null && command -v chromium >/dev/null && command -v npm >/dev/null; then
  echo "== browser build (build-web/) and its tests in chromium and firefox"
  bash scripts/web.sh
  (cd tests/web && npm ci --no-audit --no-fund --loglevel=error)
  node --test tests/web/
else
  echo "== browser tests skipped: emscripten, chromium or npm is missing (scripts/deps.sh installs them)"
fi

echo "== sanitizer build (build-asan/)"
cmake -S . -B build-asan -G Ninja -DDGL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug "${werror[@]}" >/dev/null
cmake --build build-asan -j "$jobs"
echo "== unit and GL tests under ASan+UBSan"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ASAN_OPTIONS="detect_leaks=1" ctest --test-dir build-asan -j "$jobs" --output-on-failure -L unit
# Mesa's JIT-compiled code keeps allocations whose stacks name no module, which no
# suppression can match: leak checking is off for the GL tests, the rest of ASan is on.
ASAN_OPTIONS="detect_leaks=0" ctest --test-dir build-asan -j "$jobs" --output-on-failure -L gl
echo "== fuzz targets (build-fuzz/), about 30 s each"
tests/fuzz/run.sh 30
