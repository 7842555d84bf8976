#!/bin/sh
# The installed package as a host sees it: installs the default build into
# a temporary prefix, then builds and runs examples/consumer against it
# through the CMake package and through pkg-config, checks that
# libmoravane.so resolves everything it needs and exports only its API,
# uses the installed command line with the installed server, builds the
# example hosts of examples/hosts and the quickstart's host of
# docs/quickstart.md from the prefix alone and checks what they make.
set -eu
cd "$(dirname "$0")/../.."
fail() {
  echo "consumer: $*" >&2
  exit 1
}
root=$(pwd)
jobs=${JOBS:-2}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT INT TERM
prefix=$scratch/prefix

echo "== consumer: install into $prefix"
cmake --preset default >/dev/null
cmake --build build/default -j"$jobs" --target moravane moravane-cli orra_linkserver_host
cmake --install build/default --prefix "$prefix" >/dev/null
(cd "$prefix" && find . -type f -o -type l | sort)

lib=$(find "$prefix" -name 'libmoravane.so.*.*' | head -n 1)
[ -n "$lib" ] || { echo "consumer: no libmoravane.so installed" >&2; exit 1; }

# Nothing of the support library or the platform layer may be left for the
# host to provide: every undefined symbol must come from the C/C++ runtime.
foreign=$(nm -D --undefined-only "$lib" | awk '$1 == "U" && $2 !~ /@/ {print $2}' || true)
if [ -n "$foreign" ]; then
  echo "consumer: libmoravane.so needs symbols no system library versions:" >&2
  echo "$foreign" >&2
  exit 1
fi
# Exports: moravane's and kelvex's C++ API, and C functions (the platform
# layer's Win32 subset). Any other C++ namespace leaking out is a fault.
leaked=$(nm -D --defined-only "$lib" | awk '{print $3}' | grep '^_Z' | c++filt |
  grep -v -E '^((typeinfo|typeinfo name|vtable|VTT) for |(non-)?virtual thunk to )?(moravane|kelvex)::' || true)
if [ -n "$leaked" ]; then
  echo "consumer: libmoravane.so exports more than its API:" >&2
  echo "$leaked" >&2
  exit 1
fi
echo "consumer: exports $(nm -D --defined-only "$lib" | grep -c ' T \| W \| V \| D \| B \| R ') symbols," \
  "$(nm -D --defined-only "$lib" | awk '{print $3}' | grep -c -v '^_Z') of them C functions"

echo "== consumer: CMake package"
cmake -S "$root/examples/consumer" -B "$scratch/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/cmake" -j"$jobs"
"$scratch/cmake/consumer"

echo "== consumer: pkg-config"
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" \
  cmake -S "$root/examples/consumer" -B "$scratch/pkgconfig" -G Ninja -DCONSUMER_WITH_PKGCONFIG=ON >/dev/null
cmake --build "$scratch/pkgconfig" -j"$jobs"
"$scratch/pkgconfig/consumer"
# And by hand, as a Makefile would: pkg-config's flags alone link it so that
# it runs without LD_LIBRARY_PATH.
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" sh -c \
  'g++ -std=c++20 -Wall -Wextra -Werror "$1" $(pkg-config --cflags --libs moravane) -o "$2"' \
  sh "$root/examples/consumer/consumer.cpp" "$scratch/by-hand"
env -u LD_LIBRARY_PATH "$scratch/by-hand" >/dev/null
# The package's include path must not hand the host our Win32 subset in
# place of its own (or of none).
printf '#if __has_include(<windows.h>) || __has_include(<objbase.h>) || __has_include(<oleauto.h>)\n#error the Win32 subset shadows the headers of the host\n#endif\n#include <moravane/Server.h>\nint main() {}\n' \
  >"$scratch/shadow.cpp"
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" sh -c 'g++ -std=c++20 -fsyntax-only "$1" $(pkg-config --cflags moravane)' \
  sh "$scratch/shadow.cpp"

echo "== consumer: example hosts, through the CMake package and through make with pkg-config"
cmake -S "$root/examples/hosts" -B "$scratch/hosts" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/hosts" -j"$jobs"
hosts=$scratch/hosts made=$scratch/hosts-make
mkdir "$made"
(cd "$made" && PKG_CONFIG_PATH="$prefix/lib/pkgconfig" make -s -j"$jobs" -f "$root/examples/hosts/Makefile")

echo "== consumer: the quickstart's host, as docs/quickstart.md gives it"
# The fenced block after the marker <!-- quickstart: NAME --> of the page.
snippet() {
  awk -v mark="<!-- quickstart: $1 -->" '
    $0 == mark { armed = 1; next }
    armed && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' "$root/docs/quickstart.md"
}
mkdir "$scratch/quickstart"
for file in CMakeLists.txt first_frame.cpp output; do
  snippet "$file" >"$scratch/quickstart/$file"
  [ -s "$scratch/quickstart/$file" ] || fail "docs/quickstart.md has no block marked '$file'"
done
cmake -S "$scratch/quickstart" -B "$scratch/quickstart/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/quickstart/build"

echo "== consumer: installed command line and server"
export XDG_CONFIG_HOME="$scratch/config" XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -p "$XDG_CONFIG_HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
cli="$prefix/bin/moravane-cli"
env -u LD_LIBRARY_PATH "$cli" --version
env -u LD_LIBRARY_PATH "$cli" register
demo="$root/examples/demo/demo.orraproj"
env -u LD_LIBRARY_PATH "$cli" probe "$demo" --source "Colour bars" --json
env -u LD_LIBRARY_PATH "$cli" render "$demo" --source "Colour bars" --frames 0:3 --format y4m -o - |
  ffprobe -v error -show_entries stream=width,height,pix_fmt -of csv=p=0 - | grep -qx '640,360,yuv420p'
env -u LD_LIBRARY_PATH "$cli" audio "$demo" --source Tone --seconds 1 -q -o - | sox -t wav - -n stat 2>&1 |
  grep -q 'Length (seconds): *1.000000'
# Picture and sound in one stream: the installed program finds its module.
env -u LD_LIBRARY_PATH "$cli" render "$demo" --source "Bars and tone" --frames 0:3 --format nut -q -o - |
  ffprobe -v error -show_entries stream=codec_type -of csv=p=0 - | tr '\n' ' ' | grep -qx 'video audio '
# The Python package as installed, under Debian's interpreter, on the same
# registration: a frame of the demo's colour bars.
for site in "$prefix"/lib/python3.*/dist-packages; do
  [ -e "$site/moravane/__init__.py" ] || continue
  env -u LD_LIBRARY_PATH PYTHONPATH="$site" /usr/bin/python3 -c '
import sys, moravane
with moravane.link() as server, server.open(sys.argv[1]) as project:
    frame = project.source("Colour bars")[0]
assert frame.shape == (360, 640, 4) and frame[0, 0].tolist() == [191, 191, 191, 255], frame[0, 0]
' "$demo"
  echo "consumer: installed Python package renders"
done

echo "== consumer: the quickstart's host and the example hosts, on the installed server"
out=$scratch/out
mkdir "$out"
env -u LD_LIBRARY_PATH "$scratch/quickstart/build/first_frame" "$demo" "Solid orange" >"$out/first_frame.txt"
cmp -s "$out/first_frame.txt" "$scratch/quickstart/output" ||
  fail "the quickstart's host printed '$(cat "$out/first_frame.txt")', not what docs/quickstart.md shows"

# A run that must fail: its exit code and a line of its message.
refused() {
  code=$1 text=$2
  shift 2
  status=0
  env -u LD_LIBRARY_PATH "$@" >/dev/null 2>"$out/refused.txt" || status=$?
  [ "$status" -eq "$code" ] && grep -qF -- "$text" "$out/refused.txt" ||
    fail "$* ended with $status, not $code saying '$text': $(cat "$out/refused.txt")"
}
refused 2 "no project file at '$scratch/absent.orraproj'" "$hosts/list_sources" "$scratch/absent.orraproj"
refused 2 "the project has no source named 'Nothing'" "$hosts/render_png" "$demo" Nothing
refused 2 "which has 240 frames (0 to 239)" "$made/reconnect" "$demo" "Frame numbers" 230:250
refused 2 "the source 'Colour bars' has no audio" "$made/pull_audio" "$demo" "Colour bars" "$out/bars.wav"
[ ! -e "$out/bars.wav" ] && [ ! -e "$out/bars.wav.partial" ] || fail "pull_audio left a file behind after a refusal"
# Nobody registered and nothing published: activation has nothing to start.
mkdir "$scratch/nobody" && mkdir -m 700 "$scratch/nobody/runtime"
refused 3 "link error 0x80040154: no link server is registered for this user" \
  env XDG_CONFIG_HOME="$scratch/nobody" XDG_RUNTIME_DIR="$scratch/nobody/runtime" "$hosts/list_sources" "$demo"

# The listing names every source of the demo file with the GUID, kind,
# size, rate and duration the file gives it, and nothing else as a source.
env -u LD_LIBRARY_PATH "$hosts/list_sources" "$demo" >"$out/list.txt"
env -u LD_LIBRARY_PATH "$made/list_sources" "$demo" | cmp -s - "$out/list.txt" ||
  fail "list_sources built with pkg-config lists otherwise than built with CMake"
awk '
  /^ *source "/ { split($0, quoted, "\""); name = quoted[2]; guid = $NF; size = ""; video = 0; audio = 0 }
  /^ *size / { size = $2 "x" $3 }
  /^ *rate / { rate = $2 }
  /^ *duration / { seconds = $2 / $3 }
  /^ *video / { video = 1 }
  /^ *audio / { audio = 1 }
  /^ *end *$/ && name != "" {
    kind = video ? "video " size : ""
    if (audio) kind = kind (video ? " + audio" : "audio")
    printf "%s\t%s\t%s\t%g fps\t%g s,\n", name, guid, kind, rate, seconds
    name = ""
  }' "$demo" >"$out/expected.txt"
[ -s "$out/expected.txt" ] || fail "no source read from $demo"
tab=$(printf '\t')
while IFS="$tab" read -r name guid kind rate seconds; do
  grep -F -- "$guid" "$out/list.txt" | grep -F -- " $name " | grep -F -- " $kind " | grep -F -- " $rate " |
    grep -qF -- " $seconds " || fail "list_sources does not show $name $guid ($kind, $rate, $seconds): $(cat "$out/list.txt")"
done <"$out/expected.txt"
grep -qx "$(wc -l <"$out/expected.txt") sources" "$out/list.txt" || fail "list_sources counts otherwise: $(tail -n 1 "$out/list.txt")"
echo "consumer: list_sources lists the $(wc -l <"$out/expected.txt") sources of the demo"

# PNG files that decode to the demo's solid colour (320x180, red 255,
# green 140, blue 0) in every pixel, in RGBA order; and the last frame of
# the colour bars, whose first bar is 75% grey.
env -u LD_LIBRARY_PATH "$hosts/render_png" "$demo" "Solid orange" 0:3 "$out" >/dev/null
env -u LD_LIBRARY_PATH "$made/render_png" "$demo" "Colour bars" -1 "$out" >/dev/null
[ ! -e "$out/frame-000003.png" ] || fail "render_png wrote past the frames asked for"
for frame in 000000 000001 000002 000239; do
  size=$(ffprobe -v error -show_entries stream=width,height,pix_fmt -of csv=p=0 "$out/frame-$frame.png")
  case $frame in 000239) want=640,360,rgba ;; *) want=320,180,rgba ;; esac
  [ "$size" = "$want" ] || fail "frame-$frame.png is '$size', not $want"
done
pixels=$(ffmpeg -v error -i "$out/frame-000002.png" -f rawvideo -pix_fmt rgba - | od -An -v -tu1 -w4 | sort | uniq -c)
[ "$(echo "$pixels" | tr -s ' ')" = " 57600 255 140 0 255" ] || fail "frame-000002.png is not solid orange: $pixels"
first=$(ffmpeg -v error -i "$out/frame-000239.png" -vf crop=1:1:0:0 -f rawvideo -pix_fmt rgba - | od -An -tu1 | tr -s ' ')
[ "$first" = " 191 191 191 255" ] || fail "frame-000239.png starts with$first, not 75% grey"
echo "consumer: render_png writes frames libpng and ffmpeg agree on"

# One second of the 440 Hz tone: a WAV file sox reads as such, whose level
# the host printed as sox measures it.
env -u LD_LIBRARY_PATH "$made/pull_audio" "$demo" Tone "$out/tone.wav" 1 >"$out/levels.txt"
[ "$(soxi -r "$out/tone.wav") $(soxi -c "$out/tone.wav") $(soxi -b "$out/tone.wav") $(soxi -s "$out/tone.wav")" = \
  "48000 2 16 48000" ] || fail "tone.wav is not one second of 48 kHz stereo 16-bit: $(soxi "$out/tone.wav")"
stat=$(sox "$out/tone.wav" -n remix 1 stat 2>&1)
frequency=$(echo "$stat" | awk '/^Rough +frequency/ {print $3}')
[ "$frequency" -ge 435 ] && [ "$frequency" -le 445 ] || fail "tone.wav is at $frequency Hz, not 440"
rms=$(echo "$stat" | awk '/^RMS +amplitude/ {printf "%.1f", 20 * log($3) / log(10)}')
grep -q "rms $rms dBFS\$" "$out/levels.txt" || fail "sox measures $rms dBFS, pull_audio said: $(tail -n 1 "$out/levels.txt")"
echo "consumer: pull_audio writes a 440 Hz tone at $rms dBFS"

# A preview that loses its server twice and goes on: once killed while
# stopped with a request waiting, once killed as it runs. The frames it
# shows are those of a run that lost nothing, each once and in order.
server_pids() { pgrep -f "^$prefix/bin/orra_linkserver_host" || fail "no server of $prefix runs"; }
env -u LD_LIBRARY_PATH timeout 60 "$made/reconnect" "$demo" "Frame numbers" >"$out/steady.txt"
env -u LD_LIBRARY_PATH timeout 60 "$hosts/reconnect" "$demo" "Frame numbers" >"$out/lossy.txt" &
player=$!
for frame in 12 30; do
  for _ in $(seq 200); do grep -q "^frame $frame " "$out/lossy.txt" && break; sleep 0.05; done
  grep -q "^frame $frame " "$out/lossy.txt" || fail "reconnect never showed frame $frame: $(cat "$out/lossy.txt")"
  killed=$(server_pids)
  if [ "$frame" = 12 ]; then
    kill -STOP $killed
    sleep 0.2
  fi
  kill -KILL $killed
done
status=0
wait "$player" || status=$?
[ "$status" -eq 0 ] || fail "reconnect ended with $status: $(grep -v '^frame' "$out/lossy.txt")"
[ "$(grep -c '^link lost at frame' "$out/lossy.txt") $(grep -c '^linked again' "$out/lossy.txt")" = "2 2" ] ||
  fail "reconnect did not lose and link twice: $(grep -v '^frame' "$out/lossy.txt")"
grep '^frame ' "$out/lossy.txt" | cmp -s - "$out/steady.txt" ||
  fail "the frames around the losses differ from a run without: $(grep '^frame ' "$out/lossy.txt" | diff - "$out/steady.txt")"
now=$(server_pids)
[ "$now" != "$killed" ] || fail "no new server was started"
grep -v '^frame' "$out/lossy.txt" | sed 's/^/consumer: reconnect: /'

"$cli" unregister
# The server activation started ends by itself once its last host has gone;
# wait for that before the scratch folder goes.
for _ in $(seq 100); do pgrep -f "^$prefix/bin/orra_linkserver_host" >/dev/null || break; sleep 0.1; done
echo "consumer: passed"
