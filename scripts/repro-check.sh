#!/usr/bin/env bash
# Proves that the build is reproducible: the same sources, built with the same tools (the
# full form prints their package versions), give byte-identical release files whatever
# folder they are built in; no input of the build reads the clock. Signing is left out on
# purpose: a signature (and above all a time stamp) differs from run to run, so unsigned
# builds are what is compared.
#
#   scripts/repro-check.sh
#       Copies the commit checked out (HEAD, exactly: no uncommitted change, no untracked
#       file) into two fresh folders of different path lengths, builds each (its own native kelopack, then the
#       Windows tree; the second in another time zone) and compares KeloSetup.exe,
#       KeloUninstall.exe, KeloBrowser.exe, the payload packet and its digest, the import
#       library and kelopack itself.
#   scripts/repro-check.sh --quick KELOPACK SETUP_EXE
#       The cheap form, for the test command: builds only KeloSetup from this work tree into
#       one fresh folder with the given kelopack and compares it with SETUP_EXE (whose
#       tree's payload folder, code page and build type it takes over when it finds its cache).
#   Either says so when the work tree is not its commit: a build of it is then no build a
#   rebuild of the commit can match.
#
#   KELO_REPRO_ROOT=DIR  where the fresh folders go (default: a new folder in $TMPDIR or /tmp)
#   KELO_REPRO_KEEP=1    keep them even when the builds agree (they are always kept when not)
#   KELO_JOBS=N          parallel jobs per build (default: the number of processors)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${KELO_JOBS:-$(nproc)}
# A signing set-up in the caller's environment must not reach these builds.
unset KELO_SIGN_PKCS12 KELO_SIGN_PASSWORD_FILE KELO_SIGN_TIMESTAMP_URL

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}

mode=full
if [ "${1:-}" = --quick ]; then
  [ $# -eq 3 ] || usage
  mode=quick
  kelopack=$(realpath "$2")
  reference=$(realpath "$3")
  [ -x "$kelopack" ] || { echo "repro-check: no kelopack at $2" >&2; exit 2; }
  [ -f "$reference" ] || { echo "repro-check: no file at $3" >&2; exit 2; }
elif [ $# -ne 0 ]; then
  usage
fi

# Whether a PE file carries a signature: its certificate table (data directory 4) is set.
is_signed() {
  local pe size
  pe=$(od -An -t u4 -j 60 -N 4 "$1" | tr -d ' ')
  size=$(od -An -t u4 -j $((pe + 24 + 112 + 4 * 8 + 4)) -N 4 "$1" | tr -d ' ')
  [ "${size:-0}" -ne 0 ]
}
if [ $mode = quick ] && is_signed "$reference"; then
  echo "repro-check: $reference is signed, and so are the programs in its payload; the check"
  echo "compares unsigned builds: configure its tree without KELO_SIGN_PKCS12"
  exit 1
fi

root=${KELO_REPRO_ROOT:-$(mktemp -d "${TMPDIR:-/tmp}/kelo-repro.XXXXXX")}
mkdir -p "$root"
root=$(cd "$root" && pwd)
# What this run builds in, which it removes again when the builds agree (a root of the
# caller's stays).
made=()

# Files git ignores count too where the build packs whatever lies in a folder: a stray
# "build/" or "*.partial" below payload/ would ship in every installer, unseen by git.
if [ -n "$(git -C "$top" status --porcelain --untracked-files=normal)" ] ||
  [ -n "$(git -C "$top" ls-files --others --ignored --exclude-standard -- payload)" ]; then
  if [ $mode = quick ]; then
    echo "repro-check: note: the work tree has uncommitted changes or untracked files; its builds"
    echo "  are no release: a rebuild of the commit would not give their bytes"
  else
    echo "repro-check: note: uncommitted changes and untracked files are not in this check: it builds HEAD"
  fi
fi

# Runs a build step with its output in LOG; on failure shows the end of it and stops, keeping
# the folders.
step() {
  local log=$1
  shift
  if ! "$@" >>"$log" 2>&1; then
    tail -n 30 "$log"
    echo "repro-check: failed: $* (whole log: $log; the builds are kept in $root)"
    exit 1
  fi
}

# Configures and builds the Windows tree of SOURCE in BUILD with KELOPACK; extra arguments go
# to the configure step.
build_win() {
  local source=$1 build=$2 kelopack=$3 target=$4
  shift 4
  step "$build.log" cmake -S "$source" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64.cmake" \
    -DKELO_PACKTOOL="$kelopack" "$@"
  step "$build.log" cmake --build "$build" -j "$jobs" --target "$target"
}

# Prints where two files first differ: the offset (from 0, in hex), both bytes and, for a PE
# file, the section that holds the offset.
show_difference() {
  local a=$1 b=$2 sections=""
  if x86_64-w64-mingw32-objdump -h "$a" >/dev/null 2>&1; then
    # name, file offset, size of each section with bytes in the file (not .bss).
    sections=$(x86_64-w64-mingw32-objdump -h "$a" | awk '$1 ~ /^[0-9]+$/ && $6 !~ /^0*$/ { print $2, $6, $3 }')
  fi
  echo "  sizes: $(stat -c %s "$a") and $(stat -c %s "$b") bytes"
  cmp -l "$a" "$b" 2>/dev/null | head -n 12 | while read -r offset byte_a byte_b; do
    local at=$((offset - 1)) where="headers"
    while read -r name start size; do
      [ -n "$name" ] || continue
      if [ "$at" -ge $((16#$start)) ] && [ "$at" -lt $((16#$start + 16#$size)) ]; then where=$name; fi
    done <<<"$sections"
    printf '  0x%08x  %03o %03o  %s\n' "$at" "$((8#$byte_a))" "$((8#$byte_b))" "$where"
  done
  echo "  bytes differing: $(cmp -l "$a" "$b" 2>/dev/null | wc -l)"
}

# Compares pairs of files (label, first, second ...); 0 when every pair is identical.
compare() {
  local differ=0
  while [ $# -ge 3 ]; do
    if cmp -s "$2" "$3"; then
      echo "same      $1 ($(stat -c %s "$2") bytes, sha256 $(sha256sum <"$2" | cut -c1-16))"
    else
      echo "DIFFERENT $1"
      echo "  $2"
      echo "  $3"
      show_difference "$2" "$3"
      differ=1
    fi
    shift 3
  done
  return $differ
}

# Fails when a file names one of the given folders: nothing that leaves the build may say
# where it was built.
names_no_folder() {
  local file=$1 folder
  shift
  if [ ! -f "$file" ]; then
    echo "NOT BUILT: $file"
    return 1
  fi
  for folder in "$@"; do
    if grep -a -q -F "$folder" "$file"; then
      echo "NAMES ITS BUILD FOLDER: $file holds $folder"
      return 1
    fi
  done
}

finish() {
  local status=$1
  if [ "$status" -eq 0 ] && [ -z "${KELO_REPRO_KEEP:-}" ]; then
    if [ -z "${KELO_REPRO_ROOT:-}" ]; then rm -rf "$root"; else rm -rf "${made[@]}"; fi
  elif [ "$status" -ne 0 ]; then
    echo "repro-check: the builds are kept in $root"
  fi
  exit "$status"
}

if [ $mode = quick ]; then
  # Build the way the reference's tree was configured, so that only the folder differs.
  extra=()
  cache=$(dirname "$reference")/../CMakeCache.txt
  if [ -f "$cache" ]; then
    for var in CMAKE_BUILD_TYPE KELO_PAYLOAD_DIR KELO_PAYLOAD_CODE_PAGE; do
      extra+=("-D$var=$(sed -n "s/^$var:[A-Z]*=//p" "$cache")")
    done
  fi
  # A folder of its own every time: a tree left from an earlier run (or the reference's
  # own) would build nothing, or build with settings of its own.
  win=$(mktemp -d "$root/quick.XXXXXX")
  made+=("$win" "$win.log")
  start=$(date +%s)
  build_win "$top" "$win" "$kelopack" KeloSetup "${extra[@]}"
  echo "repro-check: built KeloSetup again in $(($(date +%s) - start)) s"
  status=0
  compare KeloSetup.exe "$reference" "$win/bin/KeloSetup.exe" || status=1
  # The payload's programs are packed inside KeloSetup.exe, where no path would show.
  for f in "$win/bin/KeloSetup.exe" "$win/payload/programs/"*.exe; do
    names_no_folder "$f" "$top" "$root" || status=1
  done
  finish $status
fi

# Two copies of the work tree, in new folders whose paths differ in length as well (a root
# the caller names may hold folders of its own).
copies=("$(mktemp -d "$root/a.XXXXXX")" "$(mktemp -d "$root/build-two.XXXXXX")")
made+=("${copies[@]}")
echo "repro-check: commit $(git -C "$top" rev-parse HEAD)"
# The bytes hold only for the same tools: a rebuild months later, after a point release,
# needs these versions to tell a changed compiler from a changed release.
echo "repro-check: built with"
# The packages that own the compilers and linkers run, not the names that point to them.
owner() { dpkg -S "$(readlink -f "$(command -v "$1")")" 2>/dev/null | cut -d: -f1 || true; }
dpkg-query -W -f='  ${Package} ${Version}\n' $(owner g++) $(owner ld) $(owner x86_64-w64-mingw32-g++-posix) \
  gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev lzma-dev cmake ninja-build python3 \
  2>/dev/null || echo "  (no package versions to be had)"
for copy in "${copies[@]}"; do
  mkdir -p "$copy/src"
  git -C "$top" archive --format=tar HEAD | tar -xf - -C "$copy/src"
done

status=0
# In the POSIX form, which needs no time-zone files: a machine without them would quietly
# build both in UTC.
zones=(UTC0 CST-8)
for i in 0 1; do
  copy=${copies[$i]}
  start=$(date +%s)
  export TZ=${zones[$i]}
  step "$copy/native.log" cmake -S "$copy/src" -B "$copy/native" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  step "$copy/native.log" cmake --build "$copy/native" -j "$jobs" --target kelopack
  build_win "$copy/src" "$copy/win" "$copy/native/tools/kelopack" KeloSetup
  echo "repro-check: built $copy in $(($(date +%s) - start)) s"
done
unset TZ

a=${copies[0]} b=${copies[1]}
compare \
  KeloSetup.exe "$a/win/bin/KeloSetup.exe" "$b/win/bin/KeloSetup.exe" \
  KeloUninstall.exe "$a/win/payload/programs/KeloUninstall.exe" "$b/win/payload/programs/KeloUninstall.exe" \
  KeloBrowser.exe "$a/win/payload/programs/KeloBrowser.exe" "$b/win/payload/programs/KeloBrowser.exe" \
  payload.packet "$a/win/payload/payload.packet" "$b/win/payload/payload.packet" \
  payload.packet.sha256 "$a/win/payload/payload.packet.sha256" "$b/win/payload/payload.packet.sha256" \
  libKeloSetup.dll.a "$a/win/src/app/libKeloSetup.dll.a" "$b/win/src/app/libKeloSetup.dll.a" \
  kelopack "$a/native/tools/kelopack" "$b/native/tools/kelopack" || status=1

for copy in "${copies[@]}"; do
  for f in "$copy/win/bin/KeloSetup.exe" "$copy/win/payload/programs/"*.exe \
           "$copy/win/src/app/libKeloSetup.dll.a" "$copy/native/tools/kelopack"; do
    names_no_folder "$f" "$copy" || status=1
  done
done
finish $status
