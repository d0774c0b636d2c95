#!/usr/bin/env bash
# The payload folder's digest, which decides whether the packet is made again: it changes
# with any file's bytes or name, also for a file given an older time (a folder refreshed by
# unpacking), inside a linked folder, and with a folder added empty; it is not rewritten
# when nothing changed.
#   content_digest_test.sh
set -euo pipefail
script=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../payload" && pwd)/content_digest.cmake
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A folder name with a pattern's characters in it (a release candidate's).
dir="$work/payload [rc1]*"
mkdir -p "$dir/Lib" "$work/shared"
echo browser >"$dir/KeloBrowser.exe"
echo library >"$dir/Lib/a.dll"
echo shared >"$work/shared/s.dat"
ln -s "$work/shared" "$dir/Shared"
out=$work/contents.sha256
digest() { cmake -DDIR="$dir" -DOUT="$out" -P "$script"; }

digest
touch -d 2000-01-01 "$out"
digest
[ "$(stat -c %Y "$out")" = "$(date -d 2000-01-01 +%s)" ] || { echo "FAIL rewritten though nothing changed"; exit 1; }

# Each change must give another digest.
changed() {
  local what=$1 change=$2 before
  before=$(cat "$out")
  eval "$change"
  digest
  [ "$(cat "$out")" != "$before" ] || { echo "FAIL $what: same digest"; exit 1; }
  echo "ok $what"
}
changed "older bytes" 'echo library 2 >"$dir/Lib/a.dll"; touch -d 1999-01-01 "$dir/Lib/a.dll"'
changed "renamed" 'mv "$dir/Lib/a.dll" "$dir/Lib/b.dll"'
changed "removed" 'rm "$dir/Lib/b.dll"'
changed "in a linked folder" 'echo shared 2 >"$work/shared/s.dat"; touch -d 1999-01-01 "$work/shared/s.dat"'
# An empty folder is refused by the packer: one added must not leave an earlier packet.
changed "an empty folder added" 'mkdir "$dir/Empty"'

# A name with ';' (which a CMake list splits) is refused by name, not misread.
echo odd >"$dir/a;b.txt"
if digest 2>"$work/semicolon.err"; then echo "FAIL semicolon: digested"; exit 1; fi
grep -q "holds ';'" "$work/semicolon.err" || { echo "FAIL semicolon: $(cat "$work/semicolon.err")"; exit 1; }
echo "ok semicolon"
