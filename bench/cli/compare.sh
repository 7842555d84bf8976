#!/usr/bin/env bash
# moravane-cli against ffmpeg, measured in one run on this machine:
#   y4m  48+ frames of 1920x1080 as a 4:4:4 YUV4MPEG2 stream to /dev/null,
#        against ffmpeg generating and converting testsrc2 the same way;
#   png  the same frames as PNG files, against ffmpeg's PNG encoder;
#   raw  RGBA frames through a pipe to cat, against the link's own frame rate
#        (bench/frames, `Link`, the same frames without a host behind them);
#        the program's start-up (linking, opening the project, one frame) is
#        measured apart and taken off, as the link's figure has none; and the
#        ceiling of any writer into a pipe to cat here (pipe_ceiling: a ready
#        frame spliced, or copied with write(2), again and again), which
#        bounds the raw rate by the reader's own copy out of the pipe.
# Every figure is the best of REPEAT runs (the machine is shared: the best
# run is the one least disturbed; the raw runs and their ceilings alternate);
# the load average is printed with them.
#
#   bash bench/cli/compare.sh            # FRAMES=48 RAW_FRAMES=1000 REPEAT=5
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
frames=${FRAMES:-48}
raw_frames=${RAW_FRAMES:-1000}
repeat=${REPEAT:-5}
build=${BUILD:-build/default}

cmake --build "$build" --target moravane-cli orra_linkserver_host frames_bench pipe_ceiling -j2 >/dev/null
cli=$(pwd)/$build/tools/moravane-cli
ceiling=$(pwd)/$build/bench/cli/pipe_ceiling

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# A private registration and runtime folder: nothing of the user's is used.
export XDG_CONFIG_HOME=$scratch/config XDG_RUNTIME_DIR=$scratch/runtime
mkdir -p "$XDG_CONFIG_HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
"$cli" register >/dev/null
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

calc() { awk "BEGIN { print ($1) }"; }

# Wall time of one run of a command line, in seconds.
once() {
  rm -rf "$scratch/out" && mkdir -p "$scratch/out"
  local start=$EPOCHREALTIME
  if ! bash -c "$1" >/dev/null 2>"$scratch/errors"; then
    echo "failed: $1" >&2
    cat "$scratch/errors" >&2
    exit 1
  fi
  calc "$EPOCHREALTIME - $start"
}

# Best wall time of `repeat` runs of a command line, in seconds.
best() {
  local best_time= took
  for _ in $(seq "$repeat"); do
    took=$(once "$1")
    if [ -z "$best_time" ] || [ "$(calc "$took < $best_time")" = 1 ]; then best_time=$took; fi
  done
  printf '%.3f' "$best_time"
}

# Best wall times of several command lines whose runs alternate, so that
# the load of the moment weighs on each alike: `best_alternating VAR CMD ...`
# sets VAR_1, VAR_2, ... in order.
best_alternating() {
  local prefix=$1 i took
  shift
  local -a bests=()
  for _ in $(seq "$repeat"); do
    for ((i = 1; i <= $#; i++)); do
      took=$(once "${!i}")
      if [ -z "${bests[i]:-}" ] || [ "$(calc "$took < ${bests[i]}")" = 1 ]; then bests[i]=$took; fi
    done
  done
  for ((i = 1; i <= $#; i++)); do printf -v "${prefix}_$i" '%.3f' "${bests[i]}"; done
}

# A first run starts the server; the runs measured find it running (it
# stays for its grace period between them).
"$cli" info >/dev/null

y4m_cli="'$cli' render '$project' --source Bars --frames 0:$frames --format y4m -o - >/dev/null"
y4m_ffmpeg="ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=24 -frames:v $frames -pix_fmt yuv444p -f yuv4mpegpipe - >/dev/null"
png_cli="'$cli' render '$project' --source Bars --frames 0:$frames -q -o '$scratch/out'"
png_ffmpeg="ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=24 -frames:v $frames '$scratch/out/%06d.png'"
# Through a pipe to a reader, as a user's ffmpeg would read them: written to
# /dev/null no byte of a frame would be touched at all.
raw_cli="'$cli' render '$project' --source Bars --frames 0:$raw_frames --format raw -o - | cat >/dev/null"
raw_one="'$cli' render '$project' --source Bars --frames 0 --format raw -o - | cat >/dev/null"
ceiling_splice="'$ceiling' splice $raw_frames | cat >/dev/null"
ceiling_write="'$ceiling' write $raw_frames | cat >/dev/null"

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
t_y4m_cli=$(best "$y4m_cli")
t_y4m_ffmpeg=$(best "$y4m_ffmpeg")
t_png_cli=$(best "$png_cli")
t_png_ffmpeg=$(best "$png_ffmpeg")
best_alternating t_raw "$raw_cli" "$raw_one" "$ceiling_splice" "$ceiling_write"
t_raw_cli=$t_raw_1 t_raw_one=$t_raw_2 t_ceiling_splice=$t_raw_3 t_ceiling_write=$t_raw_4
# The best repetition's frames/s counter ("frames/s=298.48/s", or 1.2k/s).
link_fps=$("$build/bench/frames/frames_bench" --benchmark_filter='^Link/real_time$' --benchmark_repetitions="$repeat" \
  --benchmark_min_time=0.5 2>/dev/null | awk '$1 == "Link/real_time" {
    for (i = 1; i <= NF; i++) if ($i ~ /^frames\/s=/) {
      v = substr($i, 10); sub(/\/s$/, "", v); f = v + 0; if (v ~ /k$/) f *= 1000; if (f > best) best = f }
  } END { printf "%.1f", best }')
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"

raw_fps=$(calc "($raw_frames - 1) / ($t_raw_cli - $t_raw_one)")
printf '%-44s %8s s\n' "y4m  moravane-cli ($frames frames)" "$t_y4m_cli"
printf '%-44s %8s s   ratio %.2f (>= 1.0)\n' "y4m  ffmpeg testsrc2 -> yuv4mpegpipe" "$t_y4m_ffmpeg" \
  "$(calc "$t_y4m_ffmpeg / $t_y4m_cli")"
printf '%-44s %8s s\n' "png  moravane-cli ($frames frames)" "$t_png_cli"
printf '%-44s %8s s   ratio %.2f (>= 1.0)\n' "png  ffmpeg testsrc2 -> PNG encoder" "$t_png_ffmpeg" \
  "$(calc "$t_png_ffmpeg / $t_png_cli")"
printf '%-44s %8s s\n' "raw  moravane-cli (1 frame: the start-up)" "$t_raw_one"
printf '%-44s %8s s   %.0f frames/s after start-up\n' "raw  moravane-cli ($raw_frames frames) | cat" "$t_raw_cli" "$raw_fps"
printf '%-44s %8s frames/s   ratio %.2f (>= 0.9)\n' "link frames_bench Link (best repetition)" "$link_fps" \
  "$(calc "$raw_fps / $link_fps")"
for kind in splice write; do
  took=t_ceiling_$kind
  printf '%-44s %8s s   %.0f frames/s, %.2f of the link\n' "ceiling pipe_ceiling $kind ($raw_frames) | cat" \
    "${!took}" "$(calc "$raw_frames / ${!took}")" "$(calc "$raw_frames / ${!took} / $link_fps")"
done
