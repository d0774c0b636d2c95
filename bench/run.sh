#!/usr/bin/env bash
# Builds the benchmark payload and runs the install benchmark on it, natively and, when the
# Windows tree is built beside the native one, under Wine.
#   bench/run.sh [NATIVE_BUILD_DIR] [RUNS] [SCALE]
# NATIVE_BUILD_DIR is a configured native tree (default build/native); the payload, its
# packet and its solid .7z go to NATIVE_BUILD_DIR/bench-payload (bench-payload-xSCALE for
# another SCALE: 10 makes about 130 MB). The files are installed into a new folder below
# KELO_BENCH_OUT (default: there too), removed afterwards; a tmpfs there shows the cost of
# the file system apart from the disk's.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "${1:-$here/../build/native}" && pwd)
runs=${2:-7}
scale=${3:-1}
cmake --build "$build" --target extract_bench kelopack >/dev/null
work="$build/bench-payload"
[ "$scale" = 1 ] || work="$build/bench-payload-x$scale"
if [ ! -f "$work/earlier.packet" ] || [ ! -f "$work/payload.7z" ] || [ "$here/make_payload.py" -nt "$work/payload.packet" ] || [ "$here/run.sh" -nt "$work/payload.7z" ] || [ "$build/tools/kelopack" -nt "$work/payload.packet" ]; then
  rm -rf "$work"
  mkdir -p "$work"
  python3 "$here/make_payload.py" "$work/files" --scale "$scale"
  "$build/tools/kelopack" pack "$work/files" "$work/payload.packet"
  # The packer's own LZMA settings (level 9: 16 MB dictionary, 64 fast bytes), so that both
  # sides decode streams alike.
  (cd "$work/files" && 7zz a -bd -m0=lzma:d=16m:fb=64:lc=3:lp=0:pb=2 -mx=9 -ms=on "$work/payload.7z" . >/dev/null)
  # An earlier version to update from: the same shape, other bytes and partly other names.
  python3 "$here/make_payload.py" "$work/earlier-files" --scale "$scale" --seed 2
  "$build/tools/kelopack" pack "$work/earlier-files" "$work/earlier.packet"
  rm -rf "$work/earlier-files"
fi
# A folder of its own: the benchmark empties the folder it installs into.
mkdir -p "${KELO_BENCH_OUT:-$work}"
out=$(mktemp -d "${KELO_BENCH_OUT:-$work}/install.XXXXXX")
trap 'rm -rf "$out"' EXIT
"$build/bench/extract_bench" "$work/payload.packet" "$work/payload.7z" "$out" "$runs" "$work/earlier.packet"
win="$(dirname "$build")/win"
if [ -f "$win/build.ninja" ]; then
  cmake --build "$win" --target install_bench_win >/dev/null
  KELO_WINE_ROOT="$win/wine" KELO_HOST_DIRS="$win:$work" "$here/../tools/wine/run-in-prefix.sh" "$win/bench/install_bench_win.exe" \
    "Z:${work//\//\\}\\payload.packet" 'C:\bench' "$runs"
fi
