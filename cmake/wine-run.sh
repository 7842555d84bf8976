#!/bin/sh
# Runs a Windows program under Wine without a display and without Wine's own
# diagnostics: wine-run.sh WINE PREFIX PROGRAM [ARGS...]
# WINE is the loader: .../wine64 for 64-bit programs, Debian's 32-bit loader
# .../wine for 32-bit ones. The prefix is created on first use, 32-bit only
# (WINEARCH=win32) for the 32-bit loader, which cannot use a 64-bit prefix;
# the lock keeps parallel test processes from setting it up twice.
#
# The first Wine program of a prefix starts the Wine server and Wine's own
# services, which outlive it and keep every descriptor they inherited. Had
# they inherited ctest's output pipe, ctest would wait for its end long
# after the program had finished (a test listing that "times out"). So the
# server is started here with no pipe of ours, and the program's output goes
# through files that this script copies to its own once the program is done.
set -e
wine=$1
prefix=$2
shift 2
wineserver="$(dirname "$wine")/wineserver"
case "$(basename "$wine")" in
  wine64) export WINEARCH=win64 ;;
  *) export WINEARCH=win32 ;;
esac
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
unset WAYLAND_DISPLAY
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      "$wine" wineboot -i </dev/null >/dev/null 2>&1 || true
      "$wineserver" -w </dev/null >/dev/null 2>&1 || true
    fi
  ) 9>"$prefix.lock"
fi
# Starting the server and Wine's own services costs seconds; keep them for a
# while after the last program so that consecutive tests start in well under
# one. The server ends by itself once idle.
"$wineserver" -p 20 </dev/null >/dev/null 2>&1 || true
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
status=0
"$wine" "$@" >"$out" 2>"$err" || status=$?
# Every program run here writes something (a test program at least its
# header). A failure with no output at all is Wine failing to start the
# program, which happens now and then while a new prefix's services are
# still settling: start it once more, and say so.
if [ $status -ne 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ]; then
  echo "wine-run: Wine started nothing (exit $status); starting $1 once more" >&2
  "$wineserver" -p 20 </dev/null >/dev/null 2>&1 || true
  status=0
  "$wine" "$@" >"$out" 2>"$err" || status=$?
fi
cat "$out"
cat "$err" >&2
exit $status
