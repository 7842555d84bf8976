#!/bin/sh
# The installed package as a host sees it: installs the default build into
# a temporary prefix, then builds and runs examples/consumer against it
# through the CMake package and through pkg-config, and checks that
# libmoravane.so resolves everything it needs and exports only its API.
set -eu
cd "$(dirname "$0")/../.."
root=$(pwd)
jobs=${JOBS:-2}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT INT TERM
prefix=$scratch/prefix

echo "== consumer: install into $prefix"
cmake --preset default >/dev/null
cmake --build build/default -j"$jobs" --target moravane
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
# And by hand, as a Makefile would.
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" sh -c \
  'g++ -std=c++20 -Wall -Wextra -Werror "$1" $(pkg-config --cflags --libs moravane) -Wl,-rpath,"$2" -o "$3"' \
  sh "$root/examples/consumer/consumer.cpp" "$prefix/lib" "$scratch/by-hand"
"$scratch/by-hand" >/dev/null
echo "consumer: passed"
