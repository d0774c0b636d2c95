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
  # Either form of include, spaced as the preprocessor allows: a path that climbs out of its
  # folder is refused, and one whose first part names no layer is the system's.
  while IFS=: read -r file line target; do
    if [[ "$target" == *..* ]]; then
      echo "layers: src/$file:$line includes \"$target\": name the layer, do not climb to it"
      status=1
      continue
    fi
    [ -n "${allowed[${target%%/*}]+set}" ] || continue
    [[ " ${allowed[$layer]} " == *" ${target%%/*} "* ]] && continue
    echo "layers: src/$file:$line includes \"$target\", a layer above $layer"
    status=1
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"][^">]+[">]' "$layer" |
    sed -E 's/^([^:]+:[0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^">]+)[">].*/\1:\2/')
done
# Definitions start a line; calls and uses are indented.
outside=$(grep -rnE '^[A-Za-z].*\bCSetupLogic::[A-Za-z_~]+' --include='*.cpp' --include='*.h' . |
  grep -v '^\./setup/' || true)
if [ -n "$outside" ]; then
  echo "layers: members of CSetupLogic defined outside src/setup:"
  echo "$outside"
  status=1
fi
[ $status -eq 0 ] && echo "layers: every include points down"
exit $status
