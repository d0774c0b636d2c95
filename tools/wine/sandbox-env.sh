# Sourced: points Wine at PREFIX and gives it a home of its own inside it, so that what Wine
# and the libraries below it keep per user (font caches, desktop entries, settings) never
# lands in the home of whoever runs it.
#   . sandbox-env.sh PREFIX
export WINEPREFIX=$1
# A display's login cookie is looked for in the home when no other place is named: the
# real one keeps it (read only).
if [ -z "${XAUTHORITY:-}" ] && [ -f "${HOME:-}/.Xauthority" ]; then export XAUTHORITY=$HOME/.Xauthority; fi
export HOME=$1/home XDG_CONFIG_HOME=$1/home/.config XDG_CACHE_HOME=$1/home/.cache \
  XDG_DATA_HOME=$1/home/.local/share
mkdir -p "$HOME"
# How Wine is started. Without its preloader (Debian ships none) Wine maps the system's
# shared page at a fixed address after the process has started, and now and then a randomly
# placed mapping stands there already ("failed to map the shared user data"): the program
# never starts. The same layout every run, for the program and all it starts, leaves that
# address free. A sandbox that refuses the change (a container's default system-call
# filter) keeps the random layout.
wine_command=(/usr/lib/wine/wine64)
if setarch "$(uname -m)" -R true 2>/dev/null; then wine_command=(setarch "$(uname -m)" -R /usr/lib/wine/wine64); fi
# The system's own folders: read-only in the template, and shared by hard links with every
# prefix made from it.
wine_system_dirs=(drive_c/windows/system32 drive_c/windows/winsxs)

# Drive Z:, which Wine makes the machine's root, shows only the given folders, each at its own
# path: a program in PREFIX reaches them ("Z:" and a path of the machine, as before) and
# nothing else of the machine, the home of whoever runs it least of all. A folder inside one
# shown already is shown through it. Each is a drive of its own too (Y:, X:, ...): Wine
# names a program, or a working folder, of the machine by the drive whose root holds it.
#   show_host_folders PREFIX FOLDER...
show_host_folders() {
  local prefix=$1 shown=$1/host folder at part covered letters=(y x w v u t s r)
  shift
  rm -rf "$shown"
  mkdir "$shown"
  # Made absolute first, a parent then sorts before what is inside it.
  while IFS= read -r folder; do
    [ -n "$folder" ] || continue
    at="" covered=""
    IFS=/ read -ra parts <<<"${folder#/}"
    for part in "${parts[@]}"; do
      at=$at/$part
      if [ -L "$shown$at" ]; then covered=1; break; fi
    done
    [ -n "$covered" ] && continue
    mkdir -p "$shown$(dirname "$folder")"
    ln -s "$folder" "$shown$folder"
    [ ${#letters[@]} -eq 0 ] || { ln -sfn "$folder" "$prefix/dosdevices/${letters[0]}:"; letters=("${letters[@]:1}"); }
  done < <(for folder in "$@"; do [ -z "$folder" ] || realpath -ms -- "$folder"; done | LC_ALL=C sort -u)
  ln -sfn ../host "$prefix/dosdevices/z:"
}

# Removes the folder Wine made for a prefix's server, which the prefix's "wineserver" file
# names (in the temporary folder).
remove_wine_server_folder() {
  local name
  name=$(cat "$1/wineserver" 2>/dev/null || true)
  if [[ $name =~ ^wine-[A-Za-z0-9]+$ ]]; then rm -rf "${TMPDIR:-/tmp}/$name"; fi
}
