#!/usr/bin/env bash
# Runs the whole test suite: native tests, then the Windows tests under Wine (each in a
# prefix of its own, under a private X server when there is no display), then the message
# channel's tests under AddressSanitizer and ThreadSanitizer and a short fuzz run.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
scripts/deps.sh
scripts/build.sh
jobs=${KELO_JOBS:-$(nproc)}
status=0
ctest --test-dir build/native -j "$jobs" --output-on-failure || status=1
if [ -z "${DISPLAY:-}" ]; then
  xvfb-run -a -s "-screen 0 1280x1024x24" \
    ctest --test-dir build/win -j "$jobs" --output-on-failure || status=1
else
  ctest --test-dir build/win -j "$jobs" --output-on-failure || status=1
fi
scripts/sanitize.sh || status=1
fuzz_log=$top/build/fuzz.log
mkdir -p "$top/build"
if KELO_FUZZ_DIR=$top/build/fuzz fuzz/run.sh "${KELO_FUZZ_SECONDS:-10}" >"$fuzz_log" 2>&1; then
  echo "fuzz: $(grep -m1 -o 'Done [0-9]* runs in [0-9]* second(s)' "$fuzz_log" || echo done)"
else
  tail -n 40 "$fuzz_log"
  echo "fuzz: FAILED (log in $fuzz_log)"
  status=1
fi
exit $status
