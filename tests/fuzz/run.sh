#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) into build-fuzz/ and runs each one.
#   tests/fuzz/run.sh [SECONDS [TARGET...]]   SECONDS per target (default 30);
#                                             targets: ktx audio scroll_text (default all)
# Inputs that found new paths stay in build-fuzz/corpus-TARGET/ for the next run. A crash,
# leak or time-out leaves its input as build-fuzz/crash-*, leak-* or timeout-* and fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ]; then sed -n 2,6p "$0"; exit 0; fi
seconds=${1:-30}
[[ "$seconds" =~ ^[0-9]+$ ]] || { echo "run.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2; }
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(ktx audio scroll_text)

cmake -S tests/fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-fuzz -j "$(nproc 2>/dev/null || echo 2)"
# The GL driver and the audio libraries keep some allocations until exit.
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for t in "${targets[@]}"; do
  [ -x "build-fuzz/fuzz_$t" ] || { echo "run.sh: no target '$t' (ktx, audio, scroll_text)" >&2; exit 2; }
  mkdir -p "build-fuzz/corpus-$t"
  seeds=("tests/fuzz/corpus/$t")
  extra=()
  if [ "$t" = ktx ]; then
    extra=(-dict=tests/fuzz/ktx.dict -max_len=4096)
    [ -d ../shared/testdata/ktx ] && seeds+=(../shared/testdata/ktx)
  fi
  echo "== fuzz_$t for $seconds s"
  log="build-fuzz/fuzz_$t.log"
  if ! "build-fuzz/fuzz_$t" "build-fuzz/corpus-$t" "${seeds[@]}" "${extra[@]}" -max_total_time="$seconds" \
       -timeout=10 -rss_limit_mb=4096 -close_fd_mask=1 -artifact_prefix=build-fuzz/ \
       -print_final_stats=1 >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "run.sh: fuzz_$t failed; its log is $log" >&2
    exit 1
  fi
  grep -E "^stat::(number_of_executed_units|new_units_added)" "$log" | tr '\n' ' '
  echo
done
