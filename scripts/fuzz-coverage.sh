#!/usr/bin/env bash
# Source coverage reached by the two fuzzers: builds them with clang's
# coverage instrumentation (no sanitizers) into build/coverage, runs each
# over a scratch copy of its seed corpus for a fixed time, merges the
# profiles and prints line and region coverage of the link's engine
# (rpc/src/) and of the reference server (server/) as a
# Markdown table. Not a CI check: the figures move with the time given and
# with the machine's load.
#
#   bash scripts/fuzz-coverage.sh [seconds per fuzzer, default 60]
#
# FUZZ_MAX_LEN bounds the inputs (default 131072, as in CI).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
build=build/coverage
flags="-O1 -g -fsanitize=fuzzer-no-link -fprofile-instr-generate -fcoverage-mapping"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" \
  -DMORAVANE_BUILD_FUZZERS=ON -DORRA_BUILD_FUZZERS=ON -DMORAVANE_BUILD_TESTS=OFF \
  -DMORAVANE_BUILD_EXAMPLES=OFF -DMORAVANE_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target rpc_message_fuzzer fuzz_project_parser -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run() {  # name binary corpus
  mkdir -p "$work/$1"
  cp "$3"/* "$work/$1"/
  LLVM_PROFILE_FILE="$work/$1.profraw" "$2" -max_total_time="$seconds" -max_len="${FUZZ_MAX_LEN:-131072}" -timeout=10 \
    -close_fd_mask=3 "$work/$1" >/dev/null 2>&1 || { echo "fuzz-coverage: $1 failed" >&2; exit 1; }
}
rpc=$build/tests/rpc/fuzz/rpc_message_fuzzer
project=$build/server/fuzz_project_parser
run rpc "$rpc" tests/rpc/fuzz/corpus
run project "$project" server/fuzz/corpus
# Kept for a look at single files:
#   llvm-cov report -instr-profile=build/coverage/fuzz.profdata \
#     build/coverage/tests/rpc/fuzz/rpc_message_fuzzer -object build/coverage/server/fuzz_project_parser FILES
llvm-profdata merge -sparse "$work"/*.profraw -o "$build/fuzz.profdata"

# The TOTAL row of llvm-cov's report restricted to one folder: regions and
# lines, covered of all.
total() {
  llvm-cov report -instr-profile="$build/fuzz.profdata" "$rpc" -object "$project" "$@" |
    awk '/^TOTAL/ { printf "%d of %d (%s) | %d of %d (%s)", $8 - $9, $8, $10, $2 - $3, $2, $4 }'
}
echo "| Folder | Lines reached | Regions reached |"
echo "|---|---|---|"
for folder in rpc/src server; do
  files=$(git ls-files "$folder" | grep -E '\.(cpp|h)$' | grep -v '/fuzz/')
  # shellcheck disable=SC2086
  echo "| \`$folder/\` | $(total $files) |"
done
