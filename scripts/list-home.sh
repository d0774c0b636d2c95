#!/usr/bin/env bash
# Lists every entry below $HOME with its type, size and modification time, one a line,
# sorted, leaving out the work tree given (which may lie in $HOME) and the temporary folder. Two listings taken
# around a run tell whether the run wrote anything into the home of whoever ran it.
#   list-home.sh WORK_TREE
set -euo pipefail
# Both as the file system names them: find does not enter a home that is a link, and the
# work tree must be matched in the form find prints.
home=$(cd "$HOME" && pwd -P)
work=$(cd "$1" && pwd -P)
# The temporary folder is the tests' to use, wherever it lies.
temp=$(cd "${TMPDIR:-/tmp}" && pwd -P)
# An entry that goes while it is listed (another program's) is no reason to fail; a listing
# without the home itself is: nothing could be compared.
# -path takes a pattern: a folder named with [, *, ? or \ is matched as it is spelt.
literal() { printf '%s' "$1" | sed 's/[][*?\\]/\\&/g'; }
listing=$(find "$home" \( -path "$(literal "$work")" -o -path "$(literal "$temp")" \) -prune -o -printf '%y %s %T@ %p\n' \
  2>/dev/null || true)
case $listing in
  *" $home"$'\n'* | *" $home") ;;
  *) echo "list-home: cannot list $home" >&2; exit 1 ;;
esac
printf '%s\n' "$listing" | LC_ALL=C sort
