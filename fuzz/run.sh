#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer and UBSan) and runs each
# in turn, one process each, for a bounded time or number of executions.
#   fuzz/run.sh [seconds] [target...]   default 30 s for each of net_fuzz, packet_fuzz,
#                                       ledger_fuzz and recovery_fuzz
# Environment:
#   KELO_FUZZ_DIR   builds, logs and the corpora (<dir>/corpus/<target>); default build-fuzz
#   KELO_FUZZ_RUNS  run each target for this many executions instead of for a time
#   KELO_PACKTOOL   a native kelopack to make the packet seeds with; built in <dir>/native
#                   when unset (with KELO_JOBS jobs, default 2)
# Prints one line per target, "<target>: Done <runs> runs in <seconds> second(s)", or the
# end of the target's log and "<target>: FAILED ..."; exits non-zero when any target failed.
set -Eeuo pipefail
trap 'echo "fuzz/run.sh: failed at line $LINENO: $BASH_COMMAND" >&2' ERR
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-30}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(net_fuzz packet_fuzz ledger_fuzz recovery_fuzz)
out=${KELO_FUZZ_DIR:-$top/build-fuzz}
lzma=/usr/include/lzma
mkdir -p "$out/obj"

fuzz_flags=(-g -O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined)

# The reader's decoder is instrumented like the reader, so coverage guides the fuzzer
# through it, but without comparison tracing: its range coder compares on every bit, and
# traced, those comparisons took two thirds of the run time while telling the fuzzer
# nothing a new edge does not. The definitions are those of cmake/lzma_sdk.cmake.
build_lzma_dec() {
  clang -c "${fuzz_flags[@]}" -fsanitize-coverage=inline-8bit-counters,pc-table -w -D_LZMA_PROB32 "$lzma/LzmaDec.c" \
    -o "$out/obj/LzmaDec-fuzz.o"
}

build_packet_fuzz() {
  build_lzma_dec
  # A decode ring of the dictionary and 4 KB more: the archives tried wrap it, and the
  # decoder waits for the walker.
  clang++ -std=c++17 "${fuzz_flags[@]}" -fsanitize=fuzzer -D_LZMA_PROB32 -DKELO_DECODE_AHEAD_BYTES=4096 \
    -I"$top/src" -I"$lzma" "$top/fuzz/packet_fuzz.cpp" "$top/src/setup/packet.cpp" \
    "$top/src/setup/packet_stream.cpp" "$out/obj/LzmaDec-fuzz.o" -pthread -o "$out/packet_fuzz"
}

build_net_fuzz() {
  clang++ -std=c++17 "${fuzz_flags[@]}" -fsanitize=fuzzer -I"$top/src" "$top/fuzz/net_fuzz.cpp" \
    "$top/src/net/msg_packet.cpp" -o "$out/net_fuzz"
}

# A target over the install transaction. The name rules live beside the packet reader,
# which brings the decoder along, and the transaction keeps its own names.
build_transaction_target() {
  local target=$1 setup="$top/src/setup"
  build_lzma_dec
  clang++ -std=c++17 "${fuzz_flags[@]}" -fsanitize=fuzzer -D_LZMA_PROB32 -I"$top/src" -I"$lzma" \
    "$top/fuzz/$target.cpp" "$setup/ledger.cpp" "$setup/packet.cpp" "$setup/install_transaction.cpp" \
    "$setup/packet_stream.cpp" "$setup/file_finisher.cpp" "$setup/crc32.cpp" "$setup/name_case_posix.cpp" "$out/obj/LzmaDec-fuzz.o" -pthread \
    -o "$out/$target"
}
build_ledger_fuzz() { build_transaction_target ledger_fuzz; }
build_recovery_fuzz() { build_transaction_target recovery_fuzz; }

# The packer for the seeds: the one given, or one the project's own build makes here.
packtool() {
  if [ -n "${KELO_PACKTOOL:-}" ]; then
    tool=$KELO_PACKTOOL
    return
  fi
  cmake -S "$top" -B "$out/native" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$out/native" -j "${KELO_JOBS:-2}" --target kelopack >/dev/null
  tool=$out/native/tools/kelopack
}

# Little-endian fields and whole archive records for the hand-made seeds.
le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $(($1 >> 8 & 255)))"; }
le32() { le16 $(($1 & 65535)); le16 $(($1 >> 16 & 65535)); }
# record NAME DATA [name length] [data size]: the lengths default to the true ones.
record() {
  le16 "${3:-${#1}}"
  le16 24
  le32 "${4:-${#2}}"
  printf '%s%s' "$1" "$2"
}
# Two good records. (Records hold zero bytes, which a shell variable cannot.)
good() { record 'a.txt' 'hello'; record 'Skin\default\skin.ini' '[Skin]'; }

# A ledger and a journal as the installer writes them (first byte: 0 a ledger, 1 a journal).
seed_ledger_fuzz() {
  local dir=$1
  printf '\x00KeloSetup ledger 1\ncommit\t3\ndata\tforeign\nroot\t2\ndir\tLib\nfile\t5\t3610a686\tKeloBrowser.exe\nfile\t0\t00000000\tLib\\a b.dll\nend\t7\n' \
    >"$dir/seed-ledger"
  printf '\x01KeloSetup journal 1\nledger\t0000abcd\t120\nmkdir\tPlugins\nmove\tn\tPlugins\t\nmove\to\tKeloBrowser.exe\tKeloSetup.old\\KeloBrowser.exe.1\nmove\tk\treadme.txt\tKeloSetup.kept\\readme.txt\nmove\td\tLib\\gone.dll\tKeloSetup.old\\Lib\\gone.dll\nend\t7\n' \
    >"$dir/seed-journal"
}

# A commit's journal cut off at each stage of its moves (its length first, then the ledger
# and failure choices, then what stands at each name: the folder the commit makes, then for
# each move its name, its staged name, where it goes aside, and for the folder it adds a
# file of it), and user files among its names. In
# the fifth, the commit has added its folder, and the look at it fails; in the last two it
# has too, with the ledger it was to write beside the journal, and the user's file put
# into the folder since.
seed_recovery_fuzz() {
  local dir=$1 journal choice
  journal=$'KeloSetup journal 1\nledger\t0000abcd\t120\nmkdir\tPlugins\nmove\tn\tPlugins\t\nmove\to\tKeloBrowser.exe\tKeloSetup.old\\KeloBrowser.exe\nmove\tk\treadme.txt\tKeloSetup.kept\\readme.txt\nmove\td\tLib\\gone.dll\tKeloSetup.old\\Lib\\gone.dll\nend\t7\n'
  local i=0
  for choice in '\x01\x00\x01\x00\x02\x00\x00\x01\x01\x01\x00\x01\x01\x00\x00' '\x00\x00\x00\x02\x00\x00\x01\x00\x01\x00\x01\x00\x01\x00\x00' \
                '\x02\x05\x01\x01\x01\x00\x01\x01\x01\x01\x01\x01\x01\x00\x00' '\x00\x03\x02\x00\x02\x00\x01\x01\x00\x00\x01\x03\x01\x00\x00' \
                '\x00\x0a\x02\x02\x00\x00\x01\x01\x00\x01\x01\x00\x01\x00\x00' \
                '\x03\x00\x02\x02\x00\x01\x01\x00\x01\x01\x00\x01\x00\x01\x01' \
                '\x03\x46\x02\x02\x00\x01\x01\x00\x01\x01\x00\x01\x00\x01\x01'; do
    { le16 ${#journal}; printf '%s' "$journal"; printf "$choice"; printf 'Docs\\mine.txt\nPlugins\\user.dat\nreadme.txt'; } \
      >"$dir/seed-journal-$i"
    i=$((i + 1))
  done
}

seed_net_fuzz() {
  local dir=$1
  # A frame with a body, a header-only frame, and a packet walk.
  printf '\x00\x00\x00\x00\x00\x00\x07\x00\x0c\x01\x02\x03\x04' >"$dir/seed-frame"
  printf '\x00\x00\x00\x00\x00\x00\x03\x00\x08' >"$dir/seed-empty-frame"
  printf '\x01\x00\x03abc\x06\x00\x00\x04\x00\x00\x00\x00\x00' >"$dir/seed-packet"
}

# Packets made by kelopack from small folders (first byte 0 to be read whole, 2 to be read
# both whole and streamed), shapes of packets the reader must refuse, and archives (first
# byte odd) with each kind of bad record or name.
seed_packet_fuzz() {
  local dir=$1 tool src
  packtool
  src="$out/seed-folders"
  rm -rf "$src"
  mkdir -p "$src/one" "$src/tree/Skin/default" "$src/tree/Plugins" "$src/zeros/data" "$src/big/data" "$src/empty"
  printf 'hello' >"$src/one/readme.txt"
  printf 'MZ browser' >"$src/tree/KeloBrowser.exe"
  printf '[Skin]\r\n' >"$src/tree/Skin/default/skin.ini"
  : >"$src/tree/Plugins/empty.dat"
  printf '[StatInfo]\r\n' >"$src/tree/KeloS.ini"
  head -c 20000 /dev/zero >"$src/zeros/data/zeros.bin"
  # Decodes to more than the target decodes whole.
  head -c 2000000 /dev/zero >"$src/big/data/zeros.bin"
  for name in one tree zeros big empty; do
    "$tool" pack "$src/$name" "$src/$name.packet" >/dev/null
    { printf '\x00'; cat "$src/$name.packet"; } >"$dir/seed-packet-$name"
    { printf '\x02'; cat "$src/$name.packet"; } >"$dir/seed-streamed-$name"
  done
  # The zeros with a 4 KB dictionary declared (their matches reach back one byte): streamed,
  # they wrap the fuzz build's small ring many times over.
  { printf '\x02'; head -c 5 "$src/zeros.packet"; printf '\x00\x10\x00\x00'; tail -c +10 "$src/zeros.packet"; } \
    >"$dir/seed-streamed-zeros-small-dictionary"
  local p="$src/tree.packet" size
  size=$(stat -c %s "$p")
  { printf '\x00'; head -c 5 "$p"; } >"$dir/seed-packet-cut-header"
  { printf '\x00'; head -c 9 "$p"; } >"$dir/seed-packet-header-only"
  { printf '\x00'; head -c $((size - 8)) "$p"; } >"$dir/seed-packet-cut-stream"
  { printf '\x00\xff\xff\xff\xff'; tail -c +5 "$p"; } >"$dir/seed-packet-absurd-size"
  { printf '\x00'; le32 $(($(od -An -tu4 -N4 "$p") + 100)); tail -c +5 "$p"; } >"$dir/seed-packet-size-past-stream"
  # Decodes well but ends inside the first record.
  { printf '\x00'; le32 20; tail -c +5 "$p"; } >"$dir/seed-packet-size-inside-record"
  { printf '\x02'; le32 20; tail -c +5 "$p"; } >"$dir/seed-streamed-size-inside-record"
  { printf '\x02'; head -c $((size - 8)) "$p"; } >"$dir/seed-streamed-cut-stream"
  # The consumer refuses its first call, and its sixth (the end of the second record).
  { printf '\x06'; cat "$p"; } >"$dir/seed-streamed-refuse-1"
  { printf '\x1a'; cat "$p"; } >"$dir/seed-streamed-refuse-6"
  { printf '\x00'; head -c 4 "$p"; printf '\xe1'; tail -c +6 "$p"; } >"$dir/seed-packet-bad-props"
  { printf '\x00'; head -c 9 "$p"; printf '\xff'; tail -c +11 "$p"; } >"$dir/seed-packet-corrupt-stream"
  rm -rf "$src"

  local long259 long260
  long259=$(printf 'a%.0s' $(seq 259))
  long260=$(printf 'a%.0s' $(seq 260))
  { printf '\x01'; good; } >"$dir/seed-archive-good"
  printf '\x01' >"$dir/seed-archive-empty"
  { printf '\x01'; good; printf '\xff%.0s' $(seq 8); } >"$dir/seed-archive-remainder-8"
  { printf '\x01'; good; printf '\x00%.0s' $(seq 9); } >"$dir/seed-archive-remainder-9"
  { printf '\x01'; good; printf '\x00\x00\x18\x00\x00\x00\x00\x00'; } >"$dir/seed-archive-header-at-end"
  { printf '\x01'; record 'a.txt' 'hello' 5 6; } >"$dir/seed-archive-data-past-end"
  { printf '\x01'; record 'a.txt' 'hello' 255 5; } >"$dir/seed-archive-name-past-end"
  { printf '\x01'; record 'a.txt' 'hello' 5 4294967295; } >"$dir/seed-archive-data-4gib"
  { printf '\x01'; record "$long259" 'x'; } >"$dir/seed-archive-name-259"
  { printf '\x01'; record "$long260" 'x'; } >"$dir/seed-archive-name-260"
  local i=0 name
  for name in '..\evil.exe' 'a\..\..\x' '..' '.' 'C:\evil.exe' 'C:x' 'file.txt:ads' '\a' '\\srv\x' \
              'a\\b' 'a\' 'a\.\b' 'a/b' 'a.' 'a ' 'dir.\x' 'a*b' 'a?b' 'a|b' 'a<b' 'a"b' \
              $'a\tb' $'a\x7fb'; do
    { printf '\x01'; good; record "$name" 'bad'; } >"$dir/seed-archive-bad-name-$i"
    i=$((i + 1))
  done
}

status=0
for target in "${targets[@]}"; do
  case $target in
    net_fuzz) max_len=70000; extra=() ;;
    # Any allocation over 64 MB is a crash: the reader must refuse a declared size no
    # stream of the input's length can give before it allocates for it.
    packet_fuzz) max_len=16384; extra=(-malloc_limit_mb=64) ;;
    ledger_fuzz) max_len=4096; extra=() ;;
    recovery_fuzz) max_len=4096; extra=() ;;
    *) echo "unknown fuzz target: $target" >&2; exit 2 ;;
  esac
  "build_$target"
  corpus="$out/corpus/$target"
  mkdir -p "$corpus"
  "seed_$target" "$corpus"
  limit=(-max_total_time="$seconds")
  [ -n "${KELO_FUZZ_RUNS:-}" ] && limit=(-runs="$KELO_FUZZ_RUNS")
  log="$out/$target.log"
  if "$out/$target" "${limit[@]}" -max_len="$max_len" "${extra[@]}" -print_final_stats=1 \
       -artifact_prefix="$out/$target-" "$corpus" >"$log" 2>&1; then
    done_line=$(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$log" | tail -n 1 || true)
    echo "$target: ${done_line:-ended without a summary (log in $log)}"
  else
    tail -n 40 "$log"
    echo "$target: FAILED (log in $log, failing input in $out/$target-*)"
    status=1
  fi
done
exit $status
