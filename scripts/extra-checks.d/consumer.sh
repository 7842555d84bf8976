#!/bin/sh
# The installed package as a host sees it: installs the default build into
# a temporary prefix, then builds and runs examples/consumer against it
# through the CMake package and through pkg-config, checks that
# libmoravane.so resolves everything it needs and exports only its API, and
# uses the installed command line with the installed server.
set -eu
cd "$(dirname "$0")/../.."
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

echo "== consumer: installed command line and server"
export XDG_CONFIG_HOME="$scratch/config" XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -p "$XDG_CONFIG_HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
cli="$prefix/bin/moravane-cli"
env -u LD_LIBRARY_PATH "$cli" --version
env -u LD_LIBRARY_PATH "$cli" register
demo="$root/examples/demo/demo.orraproj"
env -u LD_LIBRARY_PATH "$cli" probe "$demo" --source "Colour bars" --json
env -u LD_LIBRARY_PATH "$cli" render "$demo" --source "Colour bars" --frames 0:3 --format y4m -o - |
  ffprobe -v error -show_entries stream=width,height,pix_fmt -of csv=p=0 - | grep -qx '640,360,yuv444p'
env -u LD_LIBRARY_PATH "$cli" audio "$demo" --source Tone --seconds 1 -q -o - | sox -t wav - -n stat 2>&1 |
  grep -q 'Length (seconds): *1.000000'
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
"$cli" unregister
# The server activation started ends by itself once its last host has gone;
# wait for that before the scratch folder goes.
for _ in $(seq 100); do pgrep -f "^$prefix/bin/orra_linkserver_host" >/dev/null || break; sleep 0.1; done
echo "consumer: passed"
