#!/usr/bin/env bash
# Runs the Windows tests N times in a row, two at a time, while a busy loop holds every
# core, and prints how many runs passed. A suite that only passes on an idle machine fails
# here, and so does a test that needs another to run before it: each run takes the tests
# of every program in another order (GTEST_RANDOM_SEED=<seed> repeats it: the seed is
# printed). Logs of failed runs stay in build/stability/<date-time of the invocation>/.
#   scripts/stability.sh [N]     default 10; the trees must be built (scripts/build.sh)
set -euo pipefail
unset KELO_SHARED_DISPLAY  # every test on an X server of its own
# A filter or a repeat left in the shell from watching one test would run a few, or none,
# and pass; a kept prefix would be kept for every program.
unset KELO_KEEP_PREFIX "${!GTEST_@}" WINEDEBUG KELO_DLLOVERRIDES WINEDLLPATH WINESERVER WINELOADER
export GTEST_SHUFFLE=1
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${1:-10}
logs=$top/build/stability/$(date +%Y%m%d-%H%M%S)
mkdir -p "$logs"
hogs=()
trap 'kill "${hogs[@]}" 2>/dev/null || true' EXIT
for _ in $(seq "$(nproc)"); do
  while :; do :; done &
  hogs+=($!)
done
passed=0
for run in $(seq "$runs"); do
  start=$(date +%s)
  export GTEST_RANDOM_SEED=$((RANDOM % 99999 + 1))
  if ctest --test-dir "$top/build/win" -j 2 --output-on-failure --no-tests=error >"$logs/run-$run.log" 2>&1; then
    passed=$((passed + 1))
    rm -f "$logs/run-$run.log"
    echo "run $run: passed ($(( $(date +%s) - start )) s, seed $GTEST_RANDOM_SEED)"
  else
    echo "run $run: FAILED ($(( $(date +%s) - start )) s, seed $GTEST_RANDOM_SEED), log in $logs/run-$run.log"
    grep -E '\*\*\*Failed|Failed  |Timeout' "$logs/run-$run.log" | head -n 5 || true
  fi
done
echo "stability: $passed of $runs runs passed under load"
[ "$passed" -eq "$runs" ]
