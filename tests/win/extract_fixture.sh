#!/usr/bin/env bash
# What the extraction test needs from the Linux side, which a Windows program cannot make:
# a 2 MB disk that fills up (a tmpfs, where mounting is allowed), a folder whose entries
# are symbolic links out of it, product folders that are links, and a link at the name of
# an install folder's hold. The test finds it through KELO_EXTRACT_FIXTURE.
#   extract_fixture.sh up DIR      make it ("DIR/ready"; "DIR/small/.small-disk" when mounted,
#                                  else the reason in "DIR/small-unavailable")
#   extract_fixture.sh down DIR    unmount and remove it
set -uo pipefail
[ $# -eq 2 ] || { echo "usage: $0 up|down DIR" >&2; exit 2; }
dir=$2

down() {
  # Lazily where a program of an interrupted run still has it open: it goes once let go.
  if mountpoint -q "$dir/small" 2>/dev/null; then umount "$dir/small" || umount -l "$dir/small" || exit 1; fi
  rm -rf "$dir"
}

case $1 in
  up)
    down
    mkdir -p "$dir/small" "$dir/outside/sub" "$dir/empty" "$dir/linked/Skin" || exit 1
    echo "keep me" > "$dir/outside/keep.txt"
    echo "me too" > "$dir/outside/sub/more.txt"
    echo "stale image" > "$dir/linked/Skin/old.png"
    ln -s "$dir/outside" "$dir/linked/Extras" || exit 1
    ln -s "$dir/outside" "$dir/linked/Skin/deep" || exit 1
    ln -s "$dir/empty" "$dir/linked/Empty" || exit 1
    # Local application-data folders whose product folder, or the level above it, is a link
    # to a folder of the user's.
    mkdir -p "$dir/appdata-linked/Kelo" "$dir/games/Mods" "$dir/appdata-parent-linked" "$dir/elsewhere/KeloBrowser/Mods" || exit 1
    for games in "$dir/games" "$dir/elsewhere/KeloBrowser"; do
      echo "saved game" > "$games/save.dat"
      echo "a mod" > "$games/Mods/mod.pak"
      echo "an older setup's" > "$games/KeloBrowser.exe"
    done
    ln -s "$dir/games" "$dir/appdata-linked/Kelo/KeloBrowser" || exit 1
    ln -s "$dir/elsewhere" "$dir/appdata-parent-linked/Kelo" || exit 1
    # An install folder whose hold's name is a link to a folder of the user's. (A link to a
    # file Wine does not show as one, as Windows does.)
    mkdir -p "$dir/held" "$dir/theses" || exit 1
    echo "the user's thesis" > "$dir/theses/thesis.txt"
    ln -s "$dir/theses" "$dir/held/KeloSetup.lock" || exit 1
    if err=$(mount -t tmpfs -o size=2m,mode=0777 kelo-small-disk "$dir/small" 2>&1); then
      touch "$dir/small/.small-disk"
    else
      echo "mount -t tmpfs: ${err:-not permitted}" > "$dir/small-unavailable"
    fi
    touch "$dir/ready"
    ;;
  down) down ;;
  *) echo "usage: $0 up|down DIR" >&2; exit 2 ;;
esac
