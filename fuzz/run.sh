#!/usr/bin/env bash
# Builds the message channel's fuzz target with clang (libFuzzer, AddressSanitizer and
# UBSan) and runs it for a bounded time.
#   fuzz/run.sh [seconds]      default 30; the corpus is kept in <out>/corpus
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-30}
out=${KELO_FUZZ_DIR:-$top/build-fuzz}
mkdir -p "$out/corpus"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$top/src" "$top/fuzz/net_fuzz.cpp" "$top/src/net/msg_packet.cpp" -o "$out/net_fuzz"
# Seeds: a frame with a body, a header-only frame, and a packet walk.
printf '\x00\x00\x00\x00\x00\x00\x07\x00\x0c\x01\x02\x03\x04' >"$out/corpus/seed-frame"
printf '\x00\x00\x00\x00\x00\x00\x03\x00\x08' >"$out/corpus/seed-empty-frame"
printf '\x01\x00\x03abc\x06\x00\x00\x04\x00\x00\x00\x00\x00' >"$out/corpus/seed-packet"
"$out/net_fuzz" -max_total_time="$seconds" -max_len=70000 -print_final_stats=1 "$out/corpus"
