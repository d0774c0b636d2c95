#!/usr/bin/env bash
# Builds both trees: build/native (portable code, host packer, native tests) and build/win
# (the setup program, the demo payload and the Windows tests, cross-compiled).
# Extra arguments are passed to the Windows tree's configure step, e.g.
#   scripts/build.sh -DKELO_PAYLOAD_DIR=/path/to/browser/build
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# A folder or file named on the command line is the caller's, relative to where it stands
# (its links kept: one that points at each release in turn is followed at every build).
options=()
for option in "$@"; do
  if [ ${#options[@]} -gt 0 ] && [ "${options[-1]}" = -D ]; then
    unset 'options[-1]'
    option=-D$option
  fi
  name=${option%%=*} value=${option#*=}
  [ "$name" != "$option" ] || name=  # no value: left as typed
  case $name in
    -DKELO_PAYLOAD_DIR | -DKELO_PAYLOAD_DIR:* | -DKELO_SIGN_PKCS12 | -DKELO_SIGN_PKCS12:* | \
      -DKELO_SIGN_PASSWORD_FILE | -DKELO_SIGN_PASSWORD_FILE:*)
      case $value in /* | '') ;; *) option=$name=$PWD/$value ;; esac ;;
  esac
  options+=("$option")
done
cd "$top"
jobs=${KELO_JOBS:-$(nproc)}
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$jobs"
cmake -S . -B build/win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DKELO_PACKTOOL="$top/build/native/tools/kelopack" ${options[@]+"${options[@]}"} >/dev/null
cmake --build build/win -j "$jobs"
