#!/usr/bin/env bash
# Builds the fuzzer of the out-of-process link (both ends of every call of
# every interface, in process and over the socket with its shared-memory
# channel) with clang and runs it for 60 seconds from its seed corpus. New
# inputs that it finds go to a scratch copy of the corpus, not into the
# repository; a crashing input is kept as build/fuzz/crash-*. The engine's
# own complaints about malformed messages (stderr) are dropped; libFuzzer's
# and the sanitizers' reports are not.
set -euo pipefail
cd "$(dirname "$0")/../.."

if ! command -v clang++ >/dev/null; then
  echo "fuzz-rpc: clang++ not installed" >&2
  exit 1
fi
cmake --preset fuzz >/dev/null
cmake --build build/fuzz --target rpc_message_fuzzer -j2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp tests/rpc/fuzz/corpus/* "$work"/
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
build/fuzz/tests/rpc/fuzz/rpc_message_fuzzer -max_total_time=60 -max_len=131072 -timeout=10 \
  -close_fd_mask=2 -print_final_stats=1 -artifact_prefix=build/fuzz/ "$work"
