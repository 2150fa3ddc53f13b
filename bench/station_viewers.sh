#!/usr/bin/env bash
# Boards per hour of `iapflash station --http` with no viewer and with 32 viewers reading the
# page's event stream: sixteen simulated devices on pseudo-terminals at 115200 baud (iapflash
# sim, one board each, a 32 KiB image), three waves each. Target: with_32_over_none >= 0.98.
#   station_viewers.sh BUILD
set -euo pipefail
build=$1
exe=$build/src/cli/iapflash
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

/usr/bin/python3 - "$work/image.bin" <<'PY'
import sys
header = b"IAP_UPDATA_FILE".ljust(512, b"\0")
image = bytes((i * 29 + i // 256) & 0xFF for i in range(32768))
open(sys.argv[1], "wb").write(header + image)
PY

free_port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# One wave: sixteen fresh devices, the station flashes each once; prints boards per hour.
wave() {
  local viewers=$1 port ports=() i
  for i in $(seq 16); do
    "$exe" sim --baud 115200 >"$work/sim$i" 2>/dev/null &
    pids+=($!)
  done
  for i in $(seq 16); do
    until [ -s "$work/sim$i" ]; do sleep 0.02; done
    ports+=(--port "$(head -n1 "$work/sim$i")")
  done
  port=$(free_port)
  local started=$EPOCHREALTIME
  "$exe" station "$work/image.bin" "${ports[@]}" --iap --count 16 --http "$port" >/dev/null &
  local station=$!
  for i in $(seq "$viewers"); do
    curl -sN --retry 50 --retry-delay 0 --retry-connrefused --max-time 600 \
      "http://127.0.0.1:$port/events" >/dev/null 2>&1 &
    pids+=($!)
  done
  wait "$station" || true
  local ended=$EPOCHREALTIME
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  pids=()
  /usr/bin/python3 -c "print(16 * 3600 / ($ended - $started))"
}

best() { sort -g | tail -n1; }
none=$(for r in 1 2 3; do wave 0; done | best)
with32=$(for r in 1 2 3; do wave 32; done | best)
echo "boards_per_hour_no_viewer $none"
echo "boards_per_hour_32_viewers $with32"
/usr/bin/python3 -c "print('with_32_over_none %.3f (target: >= 0.98)' % ($with32 / $none))"
