#!/usr/bin/env bash
# Keeps the layers of src/ pointing down: a file may include only from its own folder and
# the folders below it, and every member of the installer object lives in src/setup.
#   base  <  sysreg  <  setup  <  ui  <  app        net stands alone (only app links it)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../src"
declare -A allowed=(
  [base]="base"
  [net]="net"
  [sysreg]="base sysreg"
  [setup]="base sysreg setup"
  [ui]="base sysreg setup ui"
  [app]="base sysreg setup ui net app"
)
status=0
for layer in */; do
  layer=${layer%/}
  if [ -z "${allowed[$layer]+set}" ]; then
    echo "layers: src/$layer is in no layer; add it to ${BASH_SOURCE[0]##*/} and the README"
    status=1
    continue
  fi
  while IFS=: read -r file line target; do
    [[ " ${allowed[$layer]} " == *" ${target%%/*} "* ]] && continue
    echo "layers: src/$file:$line includes \"$target\", a layer above $layer"
    status=1
  done < <(grep -rnoE '^#include "[a-z]+/[^"]+"' "$layer" | sed -E 's/#include "([^"]+)"/\1/')
done
# Definitions start a line; calls and uses are indented.
outside=$(grep -rnE '^[A-Za-z].*\bCSetupLogic::[A-Za-z_~]+' --include='*.cpp' . | grep -v '^\./setup/' || true)
if [ -n "$outside" ]; then
  echo "layers: members of CSetupLogic defined outside src/setup:"
  echo "$outside"
  status=1
fi
[ $status -eq 0 ] && echo "layers: every include points down"
exit $status
