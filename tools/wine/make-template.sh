#!/usr/bin/env bash
# Makes the template Wine prefix once (guarded by a lock): no Mono or Gecko prompts, no
# menu entries, and the window font's face names mapped to a CJK font that Debian ships,
# so that Chinese texts draw as text rather than boxes.
set -euo pipefail
template=$1
lock="$template.lock"
exec 9>"$lock"
flock 9
[ -f "$template/.ready" ] && exit 0
rm -rf "$template"
mkdir -p "$template"
export WINEPREFIX=$template WINEDEBUG=-all LC_ALL=C.UTF-8
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
wineserver -w
reg=$(mktemp --suffix=.reg)
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
  printf '"宋体"="WenQuanYi Micro Hei"\r\n"SimSun"="WenQuanYi Micro Hei"\r\n"NSimSun"="WenQuanYi Micro Hei"\r\n\r\n'
  printf '[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n"ShowCrashDialog"=dword:00000000\r\n\r\n'
} | iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; } > "$reg"
/usr/lib/wine/wine64 regedit /S "Z:${reg//\//\\}" >/dev/null 2>&1
wineserver -w
rm -f "$reg"
touch "$template/.ready"
