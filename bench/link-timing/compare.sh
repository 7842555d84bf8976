#!/usr/bin/env bash
# The out-of-process link on our own platform layer (Linux) and through
# Wine's COM (32-bit host and server in two Wine processes), in one run:
# link_timing (bench/link-timing/LinkTiming.cpp) on both sides, alternating,
# RUNS times without a kill and then with --kill on each side (a killed
# server is the last thing a Wine run does: Wine may not activate a new
# server cleanly after one); on Linux also frames_bench's Link and LinkNullCall
# (Google Benchmark) as the reference figures. Prints the load average at the
# start and the end: the machine is shared.
#
#   bash bench/link-timing/compare.sh        # RUNS=3
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
runs=${RUNS:-3}
wine=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver

cmake --build build/default --target link_timing frames_bench moravane-cli orra_linkserver_host -j2 >/dev/null
cmake --preset mingw-i686 >/dev/null
cmake --build build/mingw-i686 --target link_timing orra_linkserver_host orra_linkserver_ps -j2 >/dev/null

scratch=$(mktemp -d)
export WINEPREFIX="$PWD/build/mingw-i686/wineprefix-timing" WINEARCH=win32 WINEDEBUG=-all DISPLAY=
trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
# A private registration and runtime folder on Linux: nothing of the user's.
export XDG_CONFIG_HOME=$scratch/config XDG_RUNTIME_DIR=$scratch/runtime
mkdir -p "$XDG_CONFIG_HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
build/default/server/orra_linkserver_host --register >/dev/null

if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
  "$wine" wineboot -i >/dev/null 2>&1 || true
  timeout 300 "$wineserver" -w </dev/null >/dev/null 2>&1 || true
fi
bin="$PWD/build/mingw-i686/bin"
"$wine" regsvr32 "$("$wine" winepath -w "$bin/orra_linkserver_ps.dll" 2>/dev/null)" >/dev/null
"$wine" "$bin/orra_linkserver_host.exe" --register >/dev/null

project=$scratch/hd.orraproj
cat >"$project" <<PROJECT
orra-project 1
project "HD" {7E2E0000-0000-4000-8000-0000000000F0}
source "Bars" {7E2E0000-0000-4000-8000-0000000000F1}
  duration 60 1
  size 1920 1080
  rate 24
  video bars
end
PROJECT

# One run of each side; the Wine side waits for its server to end first (it
# ends by itself once its last object is gone).
linux() { build/default/bench/link-timing/link_timing "$project" "$@" 2>/dev/null | sed 's/^/linux /'; }
server_running() {
  local proc
  for proc in /proc/[0-9]*; do
    { tr '\0' '\n' <"$proc/cmdline"; } 2>/dev/null | grep -q 'orra_linkserver_host\.exe' || continue
    { tr '\0' '\n' <"$proc/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && return 0
  done
  return 1
}
wine_side() {
  for _ in $(seq 100); do
    server_running || break
    sleep 0.2
  done
  "$wine" "$bin/link_timing.exe" "$("$wine" winepath -w "$project" 2>/dev/null)" "$@" 2>/dev/null |
    tr -d '\r' | sed 's/^/wine  /'
}

echo "load at the start: $(uptime)"
for run in $(seq "$runs"); do
  linux
  wine_side
done
# A kill between two calls, not during one, is possible on either side; on
# Linux the run is repeated (up to three times) until a call was in flight.
for _ in 1 2 3; do
  linux --kill --batches 1 | tee "$scratch/kill"
  grep -q in-flight "$scratch/kill" && break
done
wine_side --kill --batches 1
build/default/bench/frames/frames_bench --benchmark_filter='^Link' --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=true 2>/dev/null | grep -E 'median|Link' | grep median
echo "load at the end: $(uptime)"
