#!/bin/sh
# The Windows builds from the same sources, cross-compiled on Linux:
#   - mingw-i686: moravane.dll for 32-bit Windows with -Werror, its export
#     table checked against the list of the external interface;
#   - mingw-x64: the Windows tests, run under Wine against its COM, OLE
#     Automation and code pages.
# Needs g++-mingw-w64-i686-posix, g++-mingw-w64-x86-64-posix and wine64.
# Wine runs headless and quiet, in a prefix inside the build directory.
set -eu
cd "$(dirname "$0")/../.."

for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null || { echo "windows: $tool missing (g++-mingw-w64-*-posix)" >&2; exit 1; }
done
wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || wine64=$(command -v wine64 || true)
[ -n "$wine64" ] && [ -x "$wine64" ] || { echo "windows: wine64 missing" >&2; exit 1; }

jobs=${JOBS:-2}

echo "== windows: 32-bit build (mingw-i686)"
cmake --preset mingw-i686 >/dev/null
cmake --build --preset mingw-i686 -j"$jobs"
dll=build/mingw-i686/bin/moravane.dll
count=$(i686-w64-mingw32-objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -c '^\s*\[ *[0-9]')
echo "windows: $dll exports $count symbols"
ctest --preset mingw-i686

echo "== windows: 64-bit tests under Wine (mingw-x64)"
cmake --preset mingw-x64 >/dev/null
cmake --build --preset mingw-x64 -j"$jobs"
prefix=build/mingw-x64/wineprefix
export WINEPREFIX="$PWD/$prefix" WINEDEBUG=-all DISPLAY=
if [ ! -f "$prefix/system.reg" ]; then
  echo "windows: creating the Wine prefix"
  "$wine64" wineboot -i >/dev/null 2>&1 || true
  # Let the new prefix's start-up finish before the first test lists its
  # cases: a listing that races it can stall past its time-out.
  timeout 120 "$(dirname "$wine64")/wineserver" -w </dev/null >/dev/null 2>&1 || true
fi
status=0
ctest --preset mingw-x64 || status=$?
# The Wine server of this prefix was started for the tests; end it.
"$(dirname "$wine64")/wineserver" -k 2>/dev/null || true
exit $status
