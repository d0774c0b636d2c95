#!/usr/bin/env bash
# Runs a command with an X server of its own: a private Xvfb that picks the first free
# display itself and names it once it listens, so parallel runs never share a screen (one
# test's pointer presses cannot land on another's window) and no display number is guessed.
#   with-xvfb.sh COMMAND [ARGS...]
set -euo pipefail
trap 'echo "with-xvfb: \"$BASH_COMMAND\" failed (line $LINENO)" >&2' ERR
ready=$(mktemp -u "${TMPDIR:-/tmp}/kelo-xvfb.XXXXXX")
mkfifo "$ready"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$ready" >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true; wait $xvfb 2>/dev/null || true; rm -f "$ready"' EXIT
if ! read -r -t 30 number <"$ready"; then
  echo "with-xvfb: Xvfb did not start" >&2
  exit 1
fi
rm -f "$ready"
trap - ERR
set +e
DISPLAY=:$number "$@"
rc=$?
exit $rc
