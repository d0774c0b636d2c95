#!/usr/bin/env bash
# Installs what is missing, builds the installer from the bundled demo payload and starts it
# under Wine, in a prefix of its own under build/demo-prefix (kept, so the installation can
# be looked at afterwards). With no display it runs under Xvfb, saves a screenshot of the
# window to build/screenshots/KeloSetup.png and closes it again.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
scripts/deps.sh
scripts/build.sh
exe=$top/build/win/bin/KeloSetup.exe
prefix=$top/build/demo-prefix
tools/wine/make-template.sh "$prefix"
. tools/wine/sandbox-env.sh "$prefix"
show_host_folders "$prefix" "$(dirname "$exe")"
export WINEDEBUG=-all LC_ALL=C.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

if [ -n "${DISPLAY:-}" ] && [ -z "${KELO_HEADLESS:-}" ]; then
  echo "Starting $exe under Wine (prefix $prefix)"
  exec "${wine_command[@]}" "$exe"
fi
if [ -z "${KELO_HEADLESS:-}" ]; then
  exec env KELO_HEADLESS=1 tools/wine/with-xvfb.sh "$top/scripts/run.sh" "$@"
fi

trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineserver -p5 >/dev/null 2>&1 || true   # keep the server up: the time below is the program's own
start=$(date +%s%N)
"${wine_command[@]}" "$exe" &
window=""
for _ in $(seq 300); do
  window=$(xdotool search --onlyvisible --name 'Kelo游戏浏览器安装' 2>/dev/null | head -n 1 || true)
  [ -n "$window" ] && break
  sleep 0.05
done
[ -n "$window" ] || { echo "The installer window did not appear within 15 s" >&2; exit 1; }
echo "Window up after $(( ($(date +%s%N) - start) / 1000000 )) ms"
mkdir -p build/screenshots
shot=build/screenshots/KeloSetup.png
eval "$(xdotool getwindowgeometry --shell "$window")"   # X, Y, WIDTH, HEIGHT
# Taken again until the window shows more than one colour: mapped is not yet painted.
painted=""
for _ in $(seq 100); do
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$shot"
  [ "$(identify -format '%k' "$shot")" -gt 1 ] && { painted=1; break; }
  sleep 0.1
done
[ -n "$painted" ] || { echo "The installer window was not painted within 10 s" >&2; exit 1; }
echo "Screenshot: $top/$shot"
xdotool windowclose "$window" 2>/dev/null || true
wineserver -k >/dev/null 2>&1 || true
