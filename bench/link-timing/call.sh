#!/usr/bin/env bash
# One public call (Server::GetVersion through the library to the server
# process) against its two halves, measured in the same round, ROUNDS times:
#   marshalled  marshalling_bench BM_MarshalledBackToBack: host thread to the
#               communication thread and back, in process;
#   remote      rpc_bench NullRemoteCallShared/real_time/threads:1: a remote
#               null call over the shared region, no communication thread;
#   call        frames_bench LinkNullCall: the whole, back to back;
# and the whole in the placements a host meets:
#   idle        frames_bench LinkNullCallAfterIdle: after 1 ms without calls,
#               as the median call / the mean of the 500 calls;
#   one-cpu     LinkNullCall under taskset -c 0 (host and server on one CPU);
#   busy        LinkNullCall beside one busy thread (a shell loop);
# and, in the first round, the walk of projects of 1,000, 10,000 and 100,000
# items (frames_bench WalkProject: µs per item and remote calls per item).
# Every figure is the median of 5 repetitions. With BASE set to another
# build folder (say, a worktree of the commit before), each frames_bench
# figure is measured for that build too, right after this build's, so that
# both meet the same load. The load average is printed with every round.
#
#   bash bench/link-timing/call.sh                  # ROUNDS=5
#   BASE=/tmp/base/build/default bash bench/link-timing/call.sh
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
rounds=${ROUNDS:-5}
build=${BUILD:-build/default}
base=${BASE:-}

if [ -z "${NO_BUILD:-}" ]; then
  cmake --build "$build" --target frames_bench marshalling_bench rpc_bench -j2 >/dev/null
fi

# Medians of a benchmark binary's runs as "name value" lines, in µs (the
# walk's rows give their µs per item and calls per item instead).
medians() {
  "$@" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_format=json 2>/dev/null |
    python3 -c '
import json, sys
scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}
rows = json.load(sys.stdin)["benchmarks"]
medians = [b for b in rows if b.get("aggregate_name") == "median"]
for b in medians or rows:  # one repetition has no aggregates
    if "us/item" in b:
        print(b["run_name"], "%.2f" % b["us/item"], "%.2f" % b["calls/item"])
    elif "median us" in b:  # the median call, then the mean that a few slow wake-ups move
        print(b["run_name"], "%.2f/%.2f" % (b["median us"], b["real_time"] * scale[b["time_unit"]]))
    else:
        print(b["run_name"], "%.2f" % (b["real_time"] * scale[b["time_unit"]]))
'
}

# The value of the row whose name starts with $2 in the lines $1.
pick() { awk -v want="$2" 'index($1, want) == 1 { print $2; exit }' <<<"$1"; }

frames() { # BUILD [PREFIX...] -- frames_bench arguments
  local dir=$1
  shift
  local -a prefix=()
  while [ "$1" != "--" ]; do prefix+=("$1"); shift; done
  shift
  medians "${prefix[@]}" "$dir/bench/frames/frames_bench" "$@"
}

load() { cut -d' ' -f1 /proc/loadavg; }

builds=("$build")
[ -n "$base" ] && builds+=("$base")

printf '%-5s %-5s | %-10s %-8s %-8s %-6s' round load marshalled remote call ratio
for b in "${builds[@]}"; do
  name=this
  [ "$b" = "$build" ] || name=base
  printf ' | %-38s' "$name: call idle(median/mean) 1cpu busy"
done
printf ' | load\n'
for round in $(seq "$rounds"); do
  start_load=$(load)
  marshalled=$(pick "$(medians "$build/bench/marshalling/marshalling_bench" --benchmark_filter='^BM_MarshalledBackToBack$')" BM_)
  remote=$(pick "$(medians "$build/bench/rpc/rpc_bench" --benchmark_filter='^NullRemoteCallShared/real_time/threads:1$')" Null)
  declare -A call=() idle=() one=() busy=()
  for b in "${builds[@]}"; do
    rows=$(frames "$b" -- --benchmark_filter='^LinkNullCall')
    call[$b]=$(pick "$rows" LinkNullCall/)
    idle[$b]=$(pick "$rows" LinkNullCallAfterIdle)
    one[$b]=$(pick "$(frames "$b" taskset -c 0 -- --benchmark_filter='^LinkNullCall/')" LinkNullCall/)
  done
  # One busy thread beside the call, for every build alike.
  sh -c 'while :; do :; done' &
  spinner=$!
  for b in "${builds[@]}"; do
    busy[$b]=$(pick "$(frames "$b" -- --benchmark_filter='^LinkNullCall/')" LinkNullCall/)
  done
  kill "$spinner"
  wait "$spinner" 2>/dev/null || true
  ratio=$(awk -v c="${call[$build]}" -v m="$marshalled" -v r="$remote" 'BEGIN { printf "%.1f", c / (m + r) }')
  printf '%-5s %-5s | %-10s %-8s %-8s %-6s' "$round" "$start_load" "$marshalled" "$remote" "${call[$build]}" "$ratio"
  for b in "${builds[@]}"; do printf ' | %-6s %-12s %-6s %-6s    ' "${call[$b]}" "${idle[$b]}" "${one[$b]}" "${busy[$b]}"; done
  printf ' | %s\n' "$(load)"
  if [ "$round" = 1 ] && [ -z "${NO_WALK:-}" ]; then
    walks=()
    for b in "${builds[@]}"; do
      walks+=("$(frames "$b" -- --benchmark_filter='^WalkProject' --benchmark_repetitions=1)")
    done
  fi
done

if [ -z "${NO_WALK:-}" ]; then
  echo
  echo "walk (first round; µs per item, remote calls per item):"
  for i in "${!builds[@]}"; do
    echo "  ${builds[$i]}:"
    sed 's/^/    /' <<<"${walks[$i]}"
  done
fi
