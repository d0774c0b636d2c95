#!/usr/bin/env bash
# The silent install against NSIS, under Wine: builds the setup program around the benchmark
# payload (in build/bench-win, beside the demo build) and an NSIS installer of the same
# folder with makensis, then times both with /S and reports their sizes.
#   bench/silent_bench.sh [RUNS]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
top=$(cd "$here/.." && pwd)
runs=${1:-7}
native="$top/build/native"
tree="$top/build/bench-win"
payload="$tree/payload-files"
cmake --build "$native" --target kelopack >/dev/null
mkdir -p "$tree"
cmake -S "$top" -B "$tree" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64.cmake" \
  -DKELO_PACKTOOL="$native/tools/kelopack" -DKELO_PAYLOAD_DIR="$payload" >/dev/null
# The generated payload, with the demo browser as its main program: the install ends by
# starting it, as a real one does.
if [ ! -d "$payload" ] || [ "$here/make_payload.py" -nt "$payload" ]; then
  cmake --build "$tree" --target KeloBrowser >/dev/null
  # Made beside it and moved into place whole: a run cut short is not taken for a payload.
  rm -rf "$payload" "$payload.partial"
  python3 "$here/make_payload.py" "$payload.partial"
  cp "$tree/payload/programs/KeloBrowser.exe" "$payload.partial/KeloBrowser.exe"
  mv "$payload.partial" "$payload"
fi
cmake --build "$tree" --target KeloSetup silent_bench_win >/dev/null
# From the folder the setup program's packet was made of: the payload with our uninstaller.
makensis -V1 -DPAYLOAD="$tree/payload/stage" -DOUTFILE="$tree/nsis_setup.exe" "$here/nsis/bench_setup.nsi"
win() { local p="Z:$1"; echo "${p//\//\\}"; }
KELO_WINE_ROOT="$tree/wine" KELO_HOST_DIRS="$tree" "$top/tools/wine/run-in-prefix.sh" "$tree/bench/silent_bench_win.exe" \
  "$(win "$tree/bin/KeloSetup.exe")" "$(win "$tree/nsis_setup.exe")" 'C:\bench' "$runs"
