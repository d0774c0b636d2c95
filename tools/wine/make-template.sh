#!/usr/bin/env bash
# Makes the template Wine prefix once (guarded by a lock): no Mono or Gecko prompts, no
# menu entries, and the window font's face names mapped to a CJK font that Debian ships,
# so that Chinese texts draw as text rather than boxes. The prefix is sandboxed: Wine links a
# user's Desktop, Documents, Downloads, Music, Pictures and Videos to $HOME, so those links
# become real folders, and Wine runs with a home of its own beside the prefix, so nothing a
# program does in the prefix reaches the files of whoever runs it; its drive Z: shows only
# the folders of the machine a run names (sandbox-env.sh).
#   make-template.sh PREFIX [--unmanaged]
# --unmanaged keeps Wine from handing windows to a window manager: Xvfb has none, and Wine
# would otherwise wait two seconds for one each time a window is hidden.
# The prefix is remade when this script, the sandbox settings, Wine or the options change.
set -euo pipefail
template=$1
unmanaged=${2:-}
lock="$template.lock"
exec 9>"$lock"
flock 9
wine_version=$(dpkg-query -W -f='${Version}' wine64 2>/dev/null || /usr/lib/wine/wine64 --version)
stamp="$(cat "${BASH_SOURCE[0]}" "$(dirname "${BASH_SOURCE[0]}")/sandbox-env.sh" | sha256sum | cut -d' ' -f1) $wine_version $unmanaged"
[ -f "$template/.ready" ] && [ "$(cat "$template/.ready")" = "$stamp" ] && exit 0
rm -rf "$template"
mkdir -p "$template"
export WINEDEBUG=-all LC_ALL=C.UTF-8
. "$(dirname "${BASH_SOURCE[0]}")/sandbox-env.sh" "$template"
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
"${wine_command[@]}" wineboot -i >/dev/null 2>&1 || { echo "make-template: wineboot failed in $template" >&2; exit 1; }
wineserver -w
# At every depth: Templates, below AppData, is one of them.
find "$template/drive_c/users" -type l | while read -r link; do
  rm "$link"
  mkdir "$link"
done
if [ -n "$(find "$template/drive_c/users" -type l)" ]; then
  echo "make-template: links left in the prefix's user folders" >&2
  exit 1
fi
# wineboot would put the links back when it updates the prefix: the prefix never updates.
echo disable > "$template/.update-timestamp"
reg=$(mktemp --suffix=.reg)
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
  printf '"宋体"="WenQuanYi Micro Hei"\r\n"SimSun"="WenQuanYi Micro Hei"\r\n"NSimSun"="WenQuanYi Micro Hei"\r\n\r\n'
  # Menu entries are off (winemenubuilder.exe=d): its start at every boot would only log an error.
  printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\RunServices]\r\n"winemenubuilder"=-\r\n\r\n'
  printf '[HKEY_CURRENT_USER\\Software\\Wine\\WineDbg]\r\n"ShowCrashDialog"=dword:00000000\r\n\r\n'
  if [ "$unmanaged" = --unmanaged ]; then
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n\r\n'
  fi
} | iconv -f UTF-8 -t UTF-16LE | { printf '\xff\xfe'; cat; } > "$reg"
"${wine_command[@]}" regedit /S "Z:${reg//\//\\}" >/dev/null 2>&1 ||
  { echo "make-template: regedit failed in $template" >&2; exit 1; }
wineserver -w
rm -f "$reg"
# Its drive Z: shows nothing of the machine; each run shows what it needs.
show_host_folders "$template"
# Wine keeps its server's socket in a folder it names in the prefix's "wineserver" file. A
# prefix copied with that file would share the folder with every other copy, and a new
# prefix could meet a finished one's server there; without it, each copy makes its own.
remove_wine_server_folder "$template"
rm -f "$template/wineserver"
# Nothing writes the system's own files, so the prefixes made from this one share them
# (run-in-prefix.sh checks that no run wrote them; read-only, a run not as root cannot).
(cd "$template" && find "${wine_system_dirs[@]}" -type f -exec chmod a-w {} +)
echo "$stamp" > "$template/.ready"
