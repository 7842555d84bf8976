#!/bin/sh
# The Windows builds from the same sources, cross-compiled on Linux, and
# their tests under Wine against its COM, OLE Automation and code pages:
#   - mingw-i686: moravane.dll for 32-bit Windows, the library's home, its
#     export table checked against the list of the external interface; the
#     tests under 32-bit Wine (wine32) in a 32-bit prefix;
#   - mingw-x64: the same tests under wine64.
# Both build the contract's proxy/stub DLL with widl. Keeps going after a
# failure; prints ctest's closing line of each width at the end and exits
# non-zero if either failed.
# Needs g++-mingw-w64-i686-posix, g++-mingw-w64-x86-64-posix, wine64,
# wine32:i386, mingw-w64-tools (widl) and libwine-dev (the system IDL files).
# Wine runs headless and quiet, in a prefix inside each build directory.
set -eu
cd "$(dirname "$0")/../.."

missing() {
  echo "windows: $1 missing ($2)" >&2
  exit 1
}
for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix; do
  command -v "$tool" >/dev/null || missing "$tool" "g++-mingw-w64-*-posix"
done
for tool in i686-w64-mingw32-widl x86_64-w64-mingw32-widl; do
  command -v "$tool" >/dev/null || missing "$tool" "mingw-w64-tools"
done
[ -f /usr/include/wine/wine/windows/unknwn.idl ] || missing "unknwn.idl" "libwine-dev"
wine64=/usr/lib/wine/wine64
[ -x "$wine64" ] || missing "$wine64" "wine64"
wine32=/usr/lib/wine/wine
[ -x "$wine32" ] || missing "$wine32" "wine32:i386"
wineserver=/usr/lib/wine/wineserver
# 32-bit programs need a kernel that runs them (IA32 emulation). Some
# virtual machines' kernels are built without it: every 32-bit program,
# Wine's own loader first, then fails with "Exec format error". There the
# 32-bit build is still made and its export table checked, and the tests
# that must run 32-bit code are reported as not run.
runs32=yes
"$wine32" --version >/dev/null 2>&1 || runs32=no

jobs=${JOBS:-2}
logs=$(mktemp -d /tmp/moravane-windows.XXXXXX)
trap 'rm -rf "$logs"' EXIT
failed=0

# test_under_wine PRESET WINE WINEARCH: ctest of one preset, in its own prefix.
test_under_wine() {
  prefix="$PWD/build/$1/wineprefix"
  if [ ! -f "$prefix/system.reg" ]; then
    echo "windows: creating the $3 Wine prefix"
    WINEPREFIX="$prefix" WINEARCH="$3" WINEDEBUG=-all DISPLAY= "$2" wineboot -i >/dev/null 2>&1 || true
    # Let the new prefix's start-up finish before the first test lists its
    # cases: a listing that races it can stall past its time-out.
    WINEPREFIX="$prefix" timeout 120 "$wineserver" -w </dev/null >/dev/null 2>&1 || true
  fi
  status=0
  # Wine now and then fails a program for reasons of its own (seen in CI: a
  # test that had printed its pass was then killed by Wine as it ended; a
  # program that Wine never started). A failed test runs once more, and the
  # summary names every test that needed it; one that fails twice fails.
  ctest --preset "$1" --repeat until-pass:2 >"$logs/$1.log" 2>&1 || status=$?
  cat "$logs/$1.log"
  grep -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .*\*\*\*' "$logs/$1.log" | sed -E 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+).*/\1/' |
    sort -u >"$logs/$1.reruns" || true
  # The Wine server of this prefix was started for the tests; end it.
  WINEPREFIX="$prefix" "$wineserver" -k 2>/dev/null || true
  return $status
}

# build PRESET: configure and build; false when either fails.
build() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j"$jobs"
}

echo "== windows: 32-bit build and tests under 32-bit Wine (mingw-i686)"
if build mingw-i686; then
  dll=build/mingw-i686/bin/moravane.dll
  count=$(i686-w64-mingw32-objdump -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -c '^\s*\[ *[0-9]')
  echo "windows: $dll exports $count symbols"
  # The 32-bit server writes frames with streaming stores as the 64-bit one
  # does (the compiler does not assume SSE2 for 32-bit code: the functions
  # ask for it themselves).
  streams=$(i686-w64-mingw32-objdump -d build/mingw-i686/bin/orra_linkserver_host.exe | grep -c movntdq || true)
  echo "windows: the 32-bit server has $streams streaming stores"
  [ "$streams" -gt 0 ] || failed=1
  if [ "$runs32" = yes ]; then
    test_under_wine mingw-i686 "$wine32" win32 || failed=1
  else
    programs=$(cd build/mingw-i686 && find . -name '*_tests.exe' -printf '%f\n' | sort | paste -sd ' ')
    echo "built, not run: this kernel cannot run 32-bit x86 programs (no IA32 emulation):" \
      "$(echo $programs | wc -w) test programs: $programs" >"$logs/mingw-i686.log"
    echo "windows: the mingw-i686 tests are $(cat "$logs/mingw-i686.log"); its export table:"
    # In the log folder, where the check leaves its list of names.
    top=$PWD
    (cd "$logs" && cmake -DLIBRARY="$top/$dll" -DFORMAT=pe -DDUMPER=i686-w64-mingw32-objdump \
      -DDEMANGLER=i686-w64-mingw32-c++filt -DEXPECTED="$top/tests/windows/exported-interface.txt" \
      -P "$top/tests/windows/CheckExports.cmake") || failed=1
  fi
else
  echo "build failed" >"$logs/mingw-i686.log"
  failed=1
fi

echo "== windows: 64-bit build and tests under wine64 (mingw-x64)"
if build mingw-x64; then
  test_under_wine mingw-x64 "$wine64" win64 || failed=1
else
  echo "build failed" >"$logs/mingw-x64.log"
  failed=1
fi

echo "== windows: summary"
for preset in mingw-i686 mingw-x64; do
  line=$(grep -E '^[0-9]+% tests passed|^No tests were found|^build failed|^built, not run' "$logs/$preset.log" |
    tail -n 1 || true)
  # "summary:" lines are repeated in the summary of scripts/test.sh.
  echo "summary: windows: $preset: ${line:-ctest printed no closing line}"
  if [ -s "$logs/$preset.reruns" ]; then
    echo "summary: windows: $preset: failed once under Wine, run again: $(tr '\n' ' ' <"$logs/$preset.reruns")"
  fi
done
exit $failed
