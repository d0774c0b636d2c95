#!/usr/bin/env bash
# Runs the whole test suite: native tests, then the Windows tests under Wine (each in a
# sandboxed prefix of its own, with an X server of its own), then the message channel's
# tests under AddressSanitizer and ThreadSanitizer and a short fuzz run. It fails, too, when
# the run changed anything in the home directory of whoever ran it.
set -euo pipefail
# Every test draws on an X server of its own, whatever was left set for watching one; a
# googletest filter or repeat left in the shell would run a few tests, or none, and pass;
# Wine's tracing or DLL choices left from a debugging session would slow every test or
# load other DLLs than a clean run does.
unset KELO_SHARED_DISPLAY KELO_KEEP_PREFIX "${!GTEST_@}" WINEDEBUG KELO_DLLOVERRIDES WINEDLLPATH WINESERVER WINELOADER
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
# The Windows tests drive the installer of the demo payload (its stand-in browser, its
# files): a tree set up for a real browser build is checked by the release checks instead.
payload=$(sed -n 's/^KELO_PAYLOAD_DIR:[A-Z]*=//p' build/win/CMakeCache.txt 2>/dev/null || true)
if [ -n "$payload" ]; then
  echo "test: build/win packs $payload; the tests need the demo payload:" >&2
  echo "  scripts/build.sh -DKELO_PAYLOAD_DIR=   goes back to it" >&2
  exit 2
fi
scripts/deps.sh
# ctest's own step that unmounts the extraction test's small disk never runs when the run is
# interrupted, and a later "rm -rf build" would then fail on the mount.
trap 'tests/win/extract_fixture.sh down build/win/tests/win/extract_fixture >/dev/null 2>&1 || true' EXIT
home_before=$(scripts/list-home.sh "$top")
status=0
scripts/check-layers.sh || status=1
scripts/build.sh
# The same sources built in a second folder give the same installer, byte for byte.
scripts/repro-check.sh --quick build/native/tools/kelopack build/win/bin/KeloSetup.exe || status=1
jobs=${KELO_JOBS:-$(nproc)}
ctest --test-dir build/native -j "$jobs" --output-on-failure --no-tests=error || status=1
ctest --test-dir build/win -j "$jobs" --output-on-failure --no-tests=error || status=1
# A case that cannot run on this machine (no small disk to fill, say) skips itself, and its
# program passes: each is named here, with the reason it gave.
for tree in build/native build/win; do
  grep -h -A1 ': Skipped$' "$tree/Testing/Temporary/LastTest.log" 2>/dev/null | grep -v '^--$' | paste - - |
    sed 's/^/skipped: /' || true
done
scripts/sanitize.sh || status=1
fuzz_log=$top/build/fuzz.log
mkdir -p "$top/build"
if KELO_FUZZ_DIR=$top/build/fuzz KELO_PACKTOOL=$top/build/native/tools/kelopack \
     fuzz/run.sh "${KELO_FUZZ_SECONDS:-10}" >"$fuzz_log" 2>&1; then
  grep -o '^[a-z_]*: Done [0-9]* runs in [0-9]* second(s)' "$fuzz_log" | sed 's/^/fuzz: /' || echo "fuzz: done"
else
  tail -n 40 "$fuzz_log"
  echo "fuzz: FAILED (log in $fuzz_log)"
  status=1
fi
# What Wine, the libraries it loads and the build would write into a home they reached, and
# any new entry at the top of it, fails the run. Other changes are only named: on a desktop a
# browser or an indexer writes into its own folders while the tests run.
home_after=$(scripts/list-home.sh "$top")
if [ "$home_before" != "$home_after" ]; then
  KELO_HOME_REAL=$(cd "$HOME" && pwd -P)
  export KELO_HOME_REAL
  # The paths of a listing below the home, without it (taken off as text, not as a pattern).
  paths() {
    awk '{ sub(/^[^ ]* [^ ]* [^ ]* /, ""); h = ENVIRON["KELO_HOME_REAL"] "/"
           if (index($0, h) == 1) $0 = substr($0, length(h) + 1); print }' | LC_ALL=C sort -u
  }
  changed=$( { diff <(echo "$home_before") <(echo "$home_after") || true; } | sed -n 's/^[<>] //p' | paths)
  new=$(LC_ALL=C comm -13 <(paths <<<"$home_before") <(paths <<<"$home_after"))
  ours='^(\.wine[^/]*|\.cache/(wine|fontconfig|mesa_shader_cache[^/]*)|\.local/share/(applications|icons|mime|desktop-directories)|\.config/(menus|wine[^/]*)|\.Xauthority|Desktop|Documents|Downloads|Music|Pictures|Videos|Templates|Public)(/|$)'
  blamed=$( { grep -E "$ours" <<<"$changed" || true; grep -E '^[^/]+$' <<<"$new" || true; } | LC_ALL=C sort -u)
  if [ -n "$blamed" ]; then
    echo "The test run changed the home directory $HOME:"
    head -n 40 <<<"$blamed"
    status=1
  else
    echo "home: changed meanwhile only where no test or build writes (another program's):"
    head -n 10 <<<"$changed"
  fi
fi
exit $status
