#!/usr/bin/env bash
# Runs a Windows program under Wine: wine-run.sh PREFIX PROGRAM [ARGS...]
# The prefix is made on first use (one at a time, under a lock) and then reused; it has no
# display driver, so windows work without an X server.
set -euo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all}
wine=/usr/lib/wine/wine64

if [ ! -f "$prefix/.iapflash-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  exec 9>"$prefix.lock"
  flock 9
  if [ ! -f "$prefix/.iapflash-ready" ]; then
    # No .NET or HTML engine: Wine would offer to download them.
    WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot -i </dev/null >/dev/null 2>&1
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    # The desktop that wineboot started has the old driver: the next program starts afresh.
    /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w >/dev/null 2>&1 || true
    touch "$prefix/.iapflash-ready"
  fi
  exec 9>&-
fi

# A server that outlives each program by a while: starting one per program costs seconds. When
# this call starts it, the prefix's background services start now too, away from our stdout:
# a caller that reads our output to its end (ctest) would otherwise wait for them to exit. Under
# the lock, so that a program started beside it never comes first and becomes their parent.
exec 9>"$prefix.lock"
flock 9
if /usr/lib/wine/wineserver -p30 </dev/null >/dev/null 2>&1 9>&-; then
  "$wine" cmd /c exit </dev/null >/dev/null 2>&1 9>&- || true
fi
exec 9>&-
exec "$wine" "$@"
