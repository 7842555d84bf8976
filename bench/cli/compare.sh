#!/usr/bin/env bash
# moravane-cli against ffmpeg, measured in one run on this machine:
#   y4m  48+ frames of 1920x1080 as a 4:2:0 YUV4MPEG2 stream to /dev/null,
#        against ffmpeg generating and converting testsrc2 the same way;
#   png  the same frames as PNG files, against ffmpeg's PNG encoder;
#   raw  RGBA frames through a pipe to cat, against the link's own frame rate
#        (bench/frames, `Link`, the same frames without a host behind them);
#        the program's start-up (linking, opening the project, one frame) is
#        measured apart and taken off, as the link's figure has none; and the
#        ceiling of any writer into a pipe to cat here (pipe_ceiling: a ready
#        frame spliced, or copied with write(2), again and again), which
#        bounds the raw rate by the reader's own copy out of the pipe;
#   x264 ENC_FRAMES (240) frames of 1920x1080 into libx264 -preset ultrafast:
#        (a) moravane's CPU per frame (moravane-cli's user+system time from
#            /usr/bin/time, plus the server's from /proc/PID/stat before and
#            after the run) against x264's, the same frames read by ffmpeg
#            from a YUV4MPEG2 file on /dev/shm (target <= 0.25);
#        (b) the wall time of moravane-cli | ffmpeg (default options) against
#            ffmpeg reading that file (target: the file's time / the pipe's
#            >= 0.8; both share the machine's CPUs);
#            Beside it, the same bytes through a pipe from writers that do
#            nothing else: `cat FILE`; pipe_ceiling write (each frame copied
#            into a reused buffer and written, as a writer that makes its
#            frames must, the most such a writer reaches here); pipe_ceiling
#            gift (each frame copied into fresh pages given to the pipe:
#            the one zero-copy way for made bytes that no reader can see
#            change); pipe_ceiling splice (the file's cached pages spliced,
#            which only bytes already in a file allow);
#        (c) ffmpeg's testsrc2 into the same encoder, for context;
#        (d) NUT with the sound against YUV4MPEG2, ENC_FRAMES to /dev/null:
#            the frame rate each run states in its last -progress block
#            (frames over the time from the frame loop's start to the last
#            frame written, as ffmpeg's fps= is), so that the start-up
#            (NUT's includes loading FFmpeg's libraries, 60 to 90 ms of CPU
#            that YUV4MPEG2 does not need) and the exit fall out; target
#            >= 0.9. The whole runs' ratio beside it.
# Every figure is the best of REPEAT runs (the machine is shared: the best
# run is the one least disturbed; the raw runs and their ceilings alternate);
# the load average is printed with them.
#
#   bash bench/cli/compare.sh            # FRAMES=48 RAW_FRAMES=1000 ENC_FRAMES=240 REPEAT=5
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
frames=${FRAMES:-48}
raw_frames=${RAW_FRAMES:-1000}
enc_frames=${ENC_FRAMES:-240}
repeat=${REPEAT:-5}
build=${BUILD:-build/default}

flock /tmp/moravane-build.lock cmake --build "$build" --target moravane-cli orra_linkserver_host frames_bench pipe_ceiling convert_bench -j2 >/dev/null
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
  audio sine 440
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
y4m_ffmpeg="ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=24 -frames:v $frames -pix_fmt yuv420p -f yuv4mpegpipe - >/dev/null"
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

# --- into an encoder ---------------------------------------------------------

hz=$(getconf CLK_TCK)
# The server of this private world (its environment names our runtime
# folder), and its CPU seconds so far; 0 when none runs.
server_pid() {
  local p
  for p in $(pgrep orra_linkserv || true); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR"; then
      echo "$p"
      return
    fi
  done
}
cpu_of() { [ -n "$1" ] && awk -v hz="$hz" '{ sub(/^.*\) /, ""); print ($12 + $13) / hz }' "/proc/$1/stat" 2>/dev/null || echo 0; }

shm=$(mktemp -d /dev/shm/moravane-bench.XXXXXX)
trap 'rm -rf "$scratch" "$shm"' EXIT
encode="ffmpeg -v error -nostdin -i - -c:v libx264 -preset ultrafast -f null -"
"$cli" render "$project" --source Bars --frames 0:$enc_frames -q --format y4m -o "$shm/hd.y4m"

# (a) CPU seconds of one render into /dev/null: the program's and the server's.
moravane_cpu() {
  local before_pid before after_pid after
  before_pid=$(server_pid) before=$(cpu_of "$before_pid")
  /usr/bin/time -f '%U %S' -o "$scratch/time" "$cli" render "$project" --source Bars --frames 0:$enc_frames -q \
    --format y4m -o - >/dev/null
  after_pid=$(server_pid) after=$(cpu_of "$after_pid")
  [ "$before_pid" = "$after_pid" ] || before=0
  # total, the program's, the server's
  awk -v s="$after" -v b="$before" '{ print $1 + $2 + s - b, $1 + $2, s - b }' "$scratch/time"
}
x264_cpu() {
  /usr/bin/time -f '%U %S' -o "$scratch/time" ffmpeg -v error -nostdin -i "$shm/hd.y4m" -c:v libx264 -preset ultrafast \
    -f null - && awk '{ print $1 + $2 }' "$scratch/time"
}
# ffmpeg's own CPU encoding from the pipe: what reading a pipe adds to x264.
ffmpeg_pipe_cpu() {
  "$cli" render "$project" --source Bars --frames 0:$enc_frames -q --format y4m -o - |
    /usr/bin/time -f '%U %S' -o "$scratch/time" ffmpeg -v error -nostdin -i - -c:v libx264 -preset ultrafast -f null - &&
    awk '{ print $1 + $2 }' "$scratch/time"
}
min_of() { sort -g | head -n 1; }
echo "load before encoding: $(cut -d' ' -f1-3 /proc/loadavg)"
"$cli" info >/dev/null
read -r c_moravane c_cli c_server < <(for _ in $(seq "$repeat"); do moravane_cpu; done | min_of)
c_x264=$(for _ in $(seq "$repeat"); do x264_cpu; done | min_of)
c_ffmpeg_pipe=$(for _ in $(seq "$repeat"); do ffmpeg_pipe_cpu; done | min_of)

# (b), (c): wall times, the pipe and the file alternating.
pipe_enc="'$cli' render '$project' --source Bars --frames 0:$enc_frames -q --format y4m -o - | $encode"
file_enc="ffmpeg -v error -nostdin -i '$shm/hd.y4m' -c:v libx264 -preset ultrafast -f null -"
src_enc="ffmpeg -v error -nostdin -f lavfi -i testsrc2=size=1920x1080:rate=24 -frames:v $enc_frames -c:v libx264 -preset ultrafast -f null -"
cat_enc="cat '$shm/hd.y4m' | $encode"
frame_bytes=$((1920 * 1080 * 3 / 2 + 6))  # FRAME and a 4:2:0 picture
write_enc="'$ceiling' write '$shm/hd.y4m' $frame_bytes | $encode"
gift_enc="'$ceiling' gift '$shm/hd.y4m' $frame_bytes | $encode"
splice_enc="'$ceiling' splice '$shm/hd.y4m' $frame_bytes | $encode"
best_alternating t_enc "$pipe_enc" "$file_enc" "$src_enc" "$cat_enc" "$write_enc" "$gift_enc" "$splice_enc"
# (d) NUT with the sound against YUV4MPEG2, alternating: the best wall time
# and the best stated frame rate of each.
declare -A d_wall d_fps
for _ in $(seq "$repeat"); do
  for kind in nut y4m; do
    rm -f "$scratch/progress"
    took=$(once "'$cli' render '$project' --source Bars --frames 0:$enc_frames -q --format $kind -o - \
      -progress '$scratch/progress' >/dev/null")
    fps=$(awk -F= '$1 == "fps" { v = $2 } END { print v + 0 }' "$scratch/progress")
    if [ -z "${d_wall[$kind]:-}" ] || [ "$(calc "$took < ${d_wall[$kind]}")" = 1 ]; then d_wall[$kind]=$took; fi
    if [ -z "${d_fps[$kind]:-}" ] || [ "$(calc "$fps > ${d_fps[$kind]}")" = 1 ]; then d_fps[$kind]=$fps; fi
  done
done
echo "load after encoding:  $(cut -d' ' -f1-3 /proc/loadavg)"

printf '%-44s %8.2f ms CPU/frame (moravane-cli %.2f + server %.2f)\n' "(a) moravane y4m 4:2:0 ($enc_frames frames)" \
  "$(calc "$c_moravane * 1000 / $enc_frames")" "$(calc "$c_cli * 1000 / $enc_frames")" \
  "$(calc "$c_server * 1000 / $enc_frames")"
printf '%-44s %8.2f ms CPU/frame   ratio %.3f (<= 0.25)\n' "(a) x264 ultrafast from /dev/shm" \
  "$(calc "$c_x264 * 1000 / $enc_frames")" "$(calc "$c_moravane / $c_x264")"
printf '%-44s %8s s   %.1f frames/s\n' "(b) moravane-cli | ffmpeg libx264" "$t_enc_1" "$(calc "$enc_frames / $t_enc_1")"
printf '%-44s %8s s   %.1f frames/s   ratio %.2f (>= 0.8)\n' "(b) ffmpeg libx264 from /dev/shm" "$t_enc_2" \
  "$(calc "$enc_frames / $t_enc_2")" "$(calc "$t_enc_2 / $t_enc_1")"
# With both programs' CPU spread over every core, the pipe could take no
# less than this: the ceiling of (b) on this machine.
cores=$(nproc)
floor=$(calc "($c_moravane + $c_ffmpeg_pipe) / $cores")
printf '%-44s %8.2f ms CPU/frame (from the file: %.2f)\n' "(b) ffmpeg libx264 reading the pipe" \
  "$(calc "$c_ffmpeg_pipe * 1000 / $enc_frames")" "$(calc "$c_x264 * 1000 / $enc_frames")"
printf '%-44s %8.3f s   ratio at most %.2f\n' "(b) ceiling: (moravane + ffmpeg CPU) / $cores cores" "$floor" \
  "$(calc "$t_enc_2 / $floor")"
printf '%-44s %8s s   %.1f frames/s   ratio %.2f\n' "(b) cat FILE | ffmpeg libx264" \
  "$t_enc_4" "$(calc "$enc_frames / $t_enc_4")" "$(calc "$t_enc_2 / $t_enc_4")"
printf '%-44s %8s s   %.1f frames/s   ratio %.2f: the most a writer of made frames reaches\n' \
  "(b) pipe_ceiling write FILE | ffmpeg" "$t_enc_5" "$(calc "$enc_frames / $t_enc_5")" "$(calc "$t_enc_2 / $t_enc_5")"
printf '%-44s %8s s   %.1f frames/s   ratio %.2f\n' "(b) pipe_ceiling gift FILE | ffmpeg" "$t_enc_6" \
  "$(calc "$enc_frames / $t_enc_6")" "$(calc "$t_enc_2 / $t_enc_6")"
printf '%-44s %8s s   %.1f frames/s   ratio %.2f: the pages of the file itself\n' "(b) pipe_ceiling splice FILE | ffmpeg" \
  "$t_enc_7" "$(calc "$enc_frames / $t_enc_7")" "$(calc "$t_enc_2 / $t_enc_7")"
printf '%-44s %8s s   %.1f frames/s\n' "(c) ffmpeg testsrc2 -> libx264" "$t_enc_3" "$(calc "$enc_frames / $t_enc_3")"
printf '%-44s %8.3f s   %.1f frames/s stated\n' "(d) moravane-cli y4m" "${d_wall[y4m]}" "${d_fps[y4m]}"
printf '%-44s %8.3f s   %.1f frames/s stated   ratio %.2f (>= 0.9); whole runs %.2f\n' \
  "(d) moravane-cli nut with sound" "${d_wall[nut]}" "${d_fps[nut]}" "$(calc "${d_fps[nut]} / ${d_fps[y4m]}")" \
  "$(calc "${d_wall[y4m]} / ${d_wall[nut]}")"
