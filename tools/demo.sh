#!/usr/bin/env bash
# A complete download of the bundled sample into the simulated bus, printing the tool's log.
# Usage: tools/demo.sh BUILD_DIR   (./dev demo passes the release build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
iapflash=$build/src/cli/iapflash
[ -x "$iapflash" ] || { echo "demo: no iapflash in $build (build it first)" >&2; exit 1; }

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

sample=$root/samples/demo_app.hex
if [ ! -f "$sample" ]; then
  # No bundled sample: make one, a 4 KiB image after the 512-byte "IAP_UPDATA_FILE" header.
  sample=$work/demo_app.bin
  {
    printf 'IAP_UPDATA_FILE\0'
    head -c 496 /dev/zero
    head -c 4096 /dev/urandom
  } >"$sample"
fi

echo "== iapflash list --simulate"
if "$iapflash" list --simulate; then
  echo
  # Device 0 still runs its application: the run switches it into its boot program first.
  echo "== iapflash flash ${sample#"$root"/} --device 0 --simulate"
  "$iapflash" flash "$sample" --device 0 --simulate
else
  # The simulated bus is not there: serve one device on a pseudo-terminal instead.
  echo "== iapflash sim --baud 115200 (the simulated bus is not available)"
  "$iapflash" sim --baud 115200 >"$work/port" 2>/dev/null &
  sim_pid=$!
  for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
  port=$(head -n 1 "$work/port")
  echo "== iapflash flash ${sample#"$root"/} --port $port --iap"
  "$iapflash" flash "$sample" --port "$port" --iap
fi
