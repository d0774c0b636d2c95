#!/usr/bin/env bash
# Builds the benchmark payload and runs the extraction benchmark on it.
#   bench/run.sh [NATIVE_BUILD_DIR] [RUNS]
# NATIVE_BUILD_DIR is a configured native tree (default build/native); the payload, its
# packet and its solid .7z go to NATIVE_BUILD_DIR/bench-payload. The files are extracted
# below KELO_BENCH_OUT (default: there too); a tmpfs there shows the cost of the file
# system apart from the disk's.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "${1:-$here/../build/native}" && pwd)
runs=${2:-7}
cmake --build "$build" --target extract_bench kelopack >/dev/null
work="$build/bench-payload"
if [ ! -f "$work/payload.packet" ] || [ ! -f "$work/payload.7z" ] || [ "$here/make_payload.py" -nt "$work/payload.packet" ]; then
  rm -rf "$work"
  mkdir -p "$work"
  python3 "$here/make_payload.py" "$work/files"
  "$build/tools/kelopack" pack "$work/files" "$work/payload.packet"
  (cd "$work/files" && 7zz a -bd -m0=lzma -ms=on "$work/payload.7z" . >/dev/null)
fi
"$build/bench/extract_bench" "$work/payload.packet" "$work/payload.7z" "${KELO_BENCH_OUT:-$work/out}" "$runs"
