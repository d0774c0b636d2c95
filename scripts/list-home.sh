#!/usr/bin/env bash
# Lists every entry below $HOME with its type, size and modification time, one a line,
# sorted, leaving out the work tree given (which may lie in $HOME). Two listings taken
# around a run tell whether the run wrote anything into the home of whoever ran it.
#   list-home.sh WORK_TREE
set -euo pipefail
work=$(cd "$1" && pwd)
find "$HOME" -path "$work" -prune -o -printf '%y %s %T@ %p\n' 2>/dev/null | LC_ALL=C sort
