#!/usr/bin/env bash
# Runs a Windows program under Wine in a fresh prefix of its own, copied from a template
# prefix made once per root. Tests never see the user's ~/.wine nor each other's state.
#   KELO_WINE_ROOT       where the template and the run prefixes live
#   KELO_KEEP_PREFIX=1   keep the run prefix (its path is printed) for inspection
#   KELO_DLLOVERRIDES    extra WINEDLLOVERRIDES entries for this run
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 PROGRAM.exe [ARGS...]" >&2; exit 2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Programs that draw need a display; without one, run under a private Xvfb.
if [ -z "${DISPLAY:-}" ] && [ -z "${KELO_NO_XVFB:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$@"
fi

root=${KELO_WINE_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/kelo-wine}
mkdir -p "$root"
"$here/make-template.sh" "$root/template" --unmanaged

prefix=$(mktemp -d "$root/run.XXXXXX")
# System DLLs are never written by the programs under test: link them instead of copying.
cp -a --reflink=auto "$root/template/." "$prefix/"
export WINEPREFIX=$prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d${KELO_DLLOVERRIDES:+;$KELO_DLLOVERRIDES}"
export LC_ALL=C.UTF-8

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  if [ -n "${KELO_KEEP_PREFIX:-}" ]; then echo "prefix kept: $prefix" >&2; else rm -rf "$prefix"; fi
}
trap cleanup EXIT
set +e
/usr/lib/wine/wine64 "$@"
rc=$?
set -e
exit $rc
