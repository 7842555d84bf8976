#!/usr/bin/env bash
# Builds the server's fuzzer (project files, still images, render options,
# video and audio renders, the frame cache) with clang (libFuzzer, ASan and
# UBSan) and runs it for 60 seconds from the seed corpus. New inputs go to a
# scratch copy of the corpus; a crash leaves its input in the current folder
# and makes this script fail.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzz_project_parser -j2
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp server/fuzz/corpus/* "$corpus"/
./build/fuzz/server/fuzz_project_parser -max_total_time=60 -max_len=131072 -timeout=10 -print_final_stats=1 "$corpus"
