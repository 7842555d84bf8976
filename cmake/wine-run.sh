#!/bin/sh
# Runs a Windows program under Wine without a display and without Wine's own
# diagnostics: wine-run.sh WINE64 PREFIX PROGRAM [ARGS...]
# The prefix is created on first use; the lock keeps parallel test processes
# from setting it up twice.
set -e
wine64=$1
prefix=$2
shift 2
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" DISPLAY=
unset WAYLAND_DISPLAY
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      "$wine64" wineboot -i >/dev/null 2>&1 || true
      "$(dirname "$wine64")/wineserver" -w 2>/dev/null || true
    fi
  ) 9>"$prefix.lock"
fi
# Starting the server and Wine's own services costs seconds; keep them for a
# while after the last program so that consecutive tests start in well under
# one. The server ends by itself once idle.
"$(dirname "$wine64")/wineserver" -p 20 2>/dev/null || true
exec "$wine64" "$@"
