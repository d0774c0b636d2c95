#!/usr/bin/env bash
# Runs the whole test suite: native tests, then the Windows tests under Wine (each in a
# prefix of its own, under a private X server when there is no display).
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
exit $status
