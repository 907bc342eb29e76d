#!/usr/bin/env bash
# The suite's habit: a test that a busy machine breaks is a defect. Runs the end-to-end, vm, pi
# and browser legs RUNS times (default 1) with both cores kept busy by two busy processes
# (ended by their pids, also when this script is stopped), then prints each test that
# failed with how often. The builds must exist: ./test.sh makes them.
#   tests/under_load.sh [RUNS]
set -uo pipefail
cd "$(dirname "$0")/.."
runs=${1:-1}
if [ "$runs" = --help ] || [ "$runs" = -h ]; then sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0; fi
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "under_load: RUNS must be a whole number above 0, not '$runs'" >&2; exit 2; }
[ -x build/demo ] || { echo "under_load: build/ is not built (./test.sh builds it)" >&2; exit 2; }
web=no
[ -f build-web/site/quorvelt.js ] && [ -d tests/web/node_modules ] && web=yes
logs=build/under-load
rm -rf "$logs" && mkdir -p "$logs"
busy=()
trap 'kill "${busy[@]}" 2>/dev/null' EXIT
for _ in 1 2; do yes >/dev/null & busy+=($!); done
for run in $(seq "$runs"); do
  start=$SECONDS
  ctest --test-dir build -j 2 -L 'e2e|vm|pi' --output-on-failure >"$logs/ctest.$run" 2>&1
  # ctest's closing list: "  58 - Name (Failed)".
  sed -n '/The following tests FAILED:/,$p' "$logs/ctest.$run" | sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' >"$logs/failed.$run"
  if [ $web = yes ]; then
    node --test --test-reporter=tap tests/web/ >"$logs/web.$run" 2>&1
    sed -n 's/^ *not ok [0-9]* - \(.*\)$/web: \1/p' "$logs/web.$run" >>"$logs/failed.$run"
  fi
  echo "under_load: run $run of $runs: $(wc -l <"$logs/failed.$run") failed in $((SECONDS - start)) s" \
       "(load average $(cut -d' ' -f1 /proc/loadavg)); $(grep -c 'Test *#' "$logs/ctest.$run") ctest tests, web: $web"
  sed 's/^/  failed: /' "$logs/failed.$run"
done
[ $web = yes ] || echo "under_load: the browser leg was not run (scripts/web.sh and npm ci in tests/web first)"
if cat "$logs"/failed.* | grep -q .; then
  echo "under_load: tests that failed, with the number of runs they failed in (logs in $logs/):"
  cat "$logs"/failed.* | sort | uniq -c | sort -rn
  exit 1
fi
echo "under_load: every test passed in each of $runs run(s)"
