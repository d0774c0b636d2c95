#!/usr/bin/env bash
# Runs a Windows program under Wine in a fresh prefix of its own, copied from a template
# prefix made once per root. Tests never see the user's ~/.wine nor each other's state.
#   KELO_WINE_ROOT       where the template and the run prefixes live
#   KELO_KEEP_PREFIX=1   keep the run prefix (its path is printed) for inspection
#   KELO_DLLOVERRIDES    extra WINEDLLOVERRIDES entries for this run
#   KELO_SHARED_DISPLAY=1  draw on $DISPLAY rather than on a private X server
#   KELO_RUN_SECONDS     end the program after this long (the prefix is still cleaned up)
#   KELO_HOST_DIRS       the machine's folders the program reaches, as Z: and their path
set -euo pipefail
# A step of this script that fails ends it: say which, since its own output may be all a
# failed test shows.
trap 'echo "run-in-prefix: \"$BASH_COMMAND\" failed (line $LINENO)" >&2' ERR
[ $# -ge 1 ] || { echo "usage: $0 PROGRAM.exe [ARGS...]" >&2; exit 2; }
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# The time limit counts from the first start of this script, before the X server's.
[ -z "${KELO_RUN_SECONDS:-}" ] || export KELO_RUN_DEADLINE=${KELO_RUN_DEADLINE:-$(($(date +%s) + KELO_RUN_SECONDS))}

# Every run gets an X server of its own, so tests that run side by side never see each
# other's windows. KELO_SHARED_DISPLAY=1 keeps $DISPLAY instead, to watch a test.
if [ -z "${KELO_OWN_DISPLAY:-}" ] && ! { [ -n "${KELO_SHARED_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ]; }; then
  exec env KELO_OWN_DISPLAY=1 "$here/with-xvfb.sh" "$0" "$@"
fi

root=${KELO_WINE_ROOT:-${TMPDIR:-/tmp}/kelo-wine-$(id -u)}
mkdir -p "$root"
# Its template's programs run as whoever runs this: a folder someone else made (in a shared
# temporary folder, say) is not used.
[ -O "$root" ] && [ ! -L "$root" ] || { echo "run-in-prefix: $root is not a folder of yours" >&2; exit 1; }
chmod go-w "$root"
# The copy below holds the template's lock shared, so a rebuild (which holds it alone) never
# pulls the template away from under it; one made and then removed by another run's
# rebuild is made again.
for attempt in 1 2 3; do
  "$here/make-template.sh" "$root/template" --unmanaged
  exec 8<"$root/template.lock"
  flock -s 8
  [ -f "$root/template/.ready" ] && break
  exec 8<&-
done
[ -f "$root/template/.ready" ] || { echo "run-in-prefix: no template prefix in $root" >&2; exit 1; }

cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  # Each prefix has a server folder of its own (make-template.sh says why).
  remove_wine_server_folder "$prefix"
  # A shared system file written in place would change every later run: the run fails, and
  # the template is made anew. Looked for through this prefix's own links to the template's
  # files (a template made anew meanwhile shares none), against the template's stamp as
  # this run found it; a look that fails is no pass.
  local written
  written=$(find "${wine_system_dirs[@]/#/$prefix/}" -type f -links +1 -newer "$stamp" 2>&1) ||
    written="(the look failed) $written"
  rm -f "$stamp"
  if [ -n "${KELO_KEEP_PREFIX:-}" ]; then echo "prefix kept: $prefix" >&2; else rm -rf "$prefix"; fi
  if [ -n "$written" ]; then
    echo "run-in-prefix: the template's system files were written:" $(head -n 3 <<<"$written") >&2
    rm -f "$root/template/.ready"
    exit 1
  fi
}

# Taken first: a run beside this one that found a write gives the template up.
stamp=$(mktemp "$root/stamp.XXXXXX")
if ! touch -r "$root/template/.ready" "$stamp" 2>/dev/null; then
  rm -f "$stamp"
  echo "run-in-prefix: the template was given up meanwhile; run again" >&2
  exit 1
fi
prefix=$(mktemp -d "$root/run.XXXXXX")
. "$here/sandbox-env.sh" "$prefix"
trap cleanup EXIT
# The system's files (nine tenths of a prefix) are hard links to the template's; the rest is
# copied.
tar -C "$root/template" "${wine_system_dirs[@]/#/--exclude=./}" -cf - . | tar -C "$prefix" -xpf -
for dir in "${wine_system_dirs[@]}"; do cp -al "$root/template/$dir" "$prefix/$dir"; done
# Of the machine, the run reaches the folders KELO_HOST_DIRS names (separated by ":"), or
# else the program's own folder.
IFS=: read -ra host_dirs <<<"${KELO_HOST_DIRS:-$(dirname "$1")}"
show_host_folders "$prefix" "${host_dirs[@]}"
exec 8<&-
# Wine's own error messages stay on: a program that dies as it starts leaves nothing else.
export WINEDEBUG=${WINEDEBUG:--all,err+all}
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe,winebrowser.exe=d${KELO_DLLOVERRIDES:+;$KELO_DLLOVERRIDES}"
export LC_ALL=C.UTF-8

trap - ERR
set +e
if [ -n "${KELO_RUN_SECONDS:-}" ]; then
  # Making the template or waiting for it counts too.
  left=$((KELO_RUN_DEADLINE - $(date +%s)))
  # In the foreground: a Ctrl-C ends the program at once (in a group of its own it would
  # run on to its deadline); what it started ends with the server in cleanup.
  timeout --foreground -k 10 "$((left > 0 ? left : 1))" "${wine_command[@]}" "$@"
else
  "${wine_command[@]}" "$@"
fi
rc=$?
set -e
# A program that ends early may print nothing itself: the code is then all there is to go on.
if [ -n "${KELO_RUN_SECONDS:-}" ] && [ $rc -eq 124 ]; then
  echo "run-in-prefix: $1 ran longer than $KELO_RUN_SECONDS s and was ended" >&2
elif [ $rc -ne 0 ]; then
  echo "run-in-prefix: $1 ended with exit code $rc" >&2
fi
exit $rc
