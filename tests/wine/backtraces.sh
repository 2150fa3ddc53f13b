#!/usr/bin/env bash
# Where every thread of a Wine prefix's running programs named NAME stands, for a test that
# found a program stuck:  backtraces.sh PREFIX NAME...
set -uo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=-all
winedbg() { timeout 60 /usr/lib/wine/wine64 winedbg "$@" </dev/stdin 2>&1 | grep -v '^[0-9a-f]*:fixme'; }
# "info thread" lists each process ("PID NAME") followed by its threads (a tab, then "TID ...").
threads=$(winedbg --command "info thread" </dev/null)
for name in "$@"; do
  while read -r pid; do
    echo "== $name (process $pid)"
    tids=$(awk -v pid="$pid" '/^[0-9a-f]+ / { inside = ($1 == pid) } inside && /^\t/ { print $1 }' \
      <<<"$threads")
    { for tid in $tids; do echo "bt 0x$tid"; done; echo "detach"; echo "quit"; } | winedbg "0x$pid"
  done < <(awk -v name="$name" '/^[0-9a-f]+ / && $2 == name { print $1 }' <<<"$threads")
done
