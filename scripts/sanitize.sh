#!/usr/bin/env bash
# Runs the portable tests natively under AddressSanitizer (with UBSan and leak checks) and
# under ThreadSanitizer, each in a tree of its own below build-san/ (or $KELO_SAN_ROOT).
#   scripts/sanitize.sh [ctest -R regex]     default: the message channel's tests, the packet
#                                           reader's and the install transaction's (also over
#                                           a decode ring its payloads wrap)
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
root=${KELO_SAN_ROOT:-$top/build-san}
filter=${1:-'^(msg_packet|msg_queue|msg_frame|socket_main|packet|install_transaction|install_transaction_small_ring)_test$'}
jobs=${KELO_JOBS:-2}
targets=(msg_packet_test msg_queue_test msg_frame_test socket_main_test packet_test install_transaction_test
  install_transaction_small_ring_test)
status=0
for kind in asan tsan; do
  flag=-DKELO_SANITIZE=ON
  [ "$kind" = tsan ] && flag=-DKELO_TSAN=ON
  cmake -S "$top" -B "$root/$kind" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$flag" >/dev/null
  cmake --build "$root/$kind" -j "$jobs" --target "${targets[@]}"
  echo "== $kind"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$root/$kind" -R "$filter" --output-on-failure --no-tests=error || status=1
done
exit $status
