#!/usr/bin/env bash
# End to end under Wine: iapflash.exe downloads over RFC 2217 through ser2net, on loopback, into
# a simulated device served by the Linux build (ser2net_device), whose memory is then compared
# with the image byte for byte; the same address once the server has gone is a refused
# connection: an open failure with the system's words. Ctrl+C in the middle of a reply's read
# ends the run at once, and the next run opens the port again.
#   flash_rfc2217.sh WINE_RUN PREFIX IAPFLASH_EXE SER2NET_DEVICE UPDATE_FILE
set -euo pipefail
wine_run=$1 prefix=$2 exe=$3 serve=$4 update_file=$5
work=$(mktemp -d)
server_pid=
stop_server() {
  if [ -n "$server_pid" ]; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
  fi
}
trap 'stop_server; rm -rf "$work"' EXIT
source "$(dirname "$0")/script_lib.sh"

# flash PORT OUT: runs iapflash.exe flash over PORT; its exit status lands in $status.
flash() {
  status=0
  "$wine_run" "$prefix" "$exe" flash "$(windows_path "$update_file")" --port "$1" --iap \
    >"$work/$2" 2>"$work/$2.err" || status=$?
  echo "== flash over $1 (exit $status)"
  cat "$work/$2"
}

# start_server [ARGUMENT...]: ser2net in front of a fresh simulated device; its name in $port.
start_server() {
  rm -f "$work/server.out"
  "$serve" --memory "$work/memory.bin" "$@" >"$work/server.out" 2>"$work/server.err" &
  server_pid=$!
  for _ in $(seq 100); do
    [ -s "$work/server.out" ] && break
    sleep 0.1
  done
  port=$(head -n 1 "$work/server.out")
  [[ "$port" == rfc2217://127.0.0.1:* ]] || fail "no server: $(cat "$work/server.err")"
}

start_server

flash "$port" remote.out
[ "$status" -eq 0 ] || fail "flash over $port exited with $status: $(cat "$work/remote.out.err")"
grep -qx "    ${port}打开成功" "$work/remote.out" || fail "no open line for $port"
grep -A1 -x '5.下载检验>>' "$work/remote.out" | grep -qx '\.*  成功' || fail "verify did not succeed"
grep -qx '\*\*\*\*固件下载成功.' "$work/remote.out" || fail "no success summary"
stop_server
image_length=$(($(stat -c %s "$update_file") - 512))
cmp -n "$image_length" <(tail -c +513 "$update_file") "$work/memory.bin" ||
  fail "the device's memory differs from the image"
echo "== the device holds the image's $image_length bytes"

# The server has gone: nothing listens at the address any more.
flash "$port" refused.out
[ "$status" -eq 1 ] || fail "a refused connection exited with $status, not 1"
grep -qx "    ${port}打开失败" "$work/refused.out" || fail "no open failure line"
grep -q '^打开串口::Last Err(274d)..*' "$work/refused.out" || fail "no refused-connection error line"

# Ctrl+C (Wine turns SIGINT into it) in the middle of an 8 s reply read.
start_server --fault silent:prog:0x400
"$wine_run" "$prefix" "$exe" flash "$(windows_path "$update_file")" --port "$port" --iap \
  >"$work/interrupted.out" 2>"$work/interrupted.err" &
run_pid=$!
for _ in $(seq 300); do
  grep -qx '4.写FLASH>>' "$work/interrupted.out" 2>/dev/null && break
  sleep 0.1
done
sleep 0.5  # the unanswered program command goes out; its reply is waited for
sent=$(date +%s%N)
kill -INT "$run_pid"
status=0
wait "$run_pid" || status=$?
elapsed_ms=$((($(date +%s%N) - sent) / 1000000))
echo "== interrupted run over $port (exit $status after $elapsed_ms ms)"
cat "$work/interrupted.out"
[ "$status" -eq 130 ] || fail "an interrupted run exited with $status, not 130"
[ "$elapsed_ms" -le 500 ] || fail "the interrupted run took $elapsed_ms ms to end"
grep -qx '    已关闭。' "$work/interrupted.out" || fail "the interrupted run did not close the port"
grep -qx 'iapflash: the run was interrupted by Ctrl+C' "$work/interrupted.err" ||
  fail "no interruption message: $(cat "$work/interrupted.err")"
flash "$port" after-interrupt.out
[ "$status" -eq 0 ] || fail "the run after the interrupt exited with $status"
grep -qx '\*\*\*\*固件下载成功.' "$work/after-interrupt.out" || fail "no success after the interrupt"
stop_server
echo "PASSED"
