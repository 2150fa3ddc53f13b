#!/usr/bin/env bash
# Under Wine: iapflash.exe downloads into two COM ports of the Wine prefix at once, each leading
# to the pseudo-terminal of a simulated device served by the Linux build (`iapflash sim`). Once
# into two good devices (labelled lines, summary, exit 0, both memories equal to the image), and
# once with --json into a good device and one that refuses a program packet (exit 1, the good one
# still downloaded, every line valid against the documented schema); then --timeout against a
# slow device.
#   flash_two_com_ports.sh WINE_RUN PREFIX IAPFLASH_EXE LINUX_BUILD UPDATE_FILE SCHEMA VALIDATOR
set -euo pipefail
wine_run=$1 prefix=$2 exe=$3 linux_build=$4 update_file=$5 schema=$6 validator=$7
work=$(mktemp -d)
trap 'stop_servers; rm -rf "$work"' EXIT
source "$(dirname "$0")/script_lib.sh"

same_as_image() {
  local length=$(($(stat -c %s "$update_file") - 512))
  cmp -n "$length" <(tail -c +513 "$update_file") "$work/$1.bin" ||
    fail "the memory of $1 differs from the image"
}

"$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1 || true

serve COM7 first
serve COM8 second
status=0
"$wine_run" "$prefix" "$exe" flash "$(windows_path "$update_file")" --port COM7 --port COM8 --iap \
  >"$work/two.out" 2>"$work/two.err" || status=$?
stop_servers
echo "== two COM ports at once (exit $status)"
cat "$work/two.out"
[ "$status" -eq 0 ] || fail "two good devices exited with $status: $(cat "$work/two.err")"
for k in 0 1; do
  port=COM$((7 + k))
  grep -qx "\[$k $port\]     ${port}打开成功" "$work/two.out" || fail "no open line for $port"
  grep -qx "\[$k $port\] \*\*\*\*固件下载成功." "$work/two.out" || fail "no success for $port"
  grep -qE "^ +$k  $port +success +[0-9]+\.[0-9]$" "$work/two.out" || fail "no summary row for $port"
done
grep -qx 'Summary: 2 of 2 devices succeeded' "$work/two.out" || fail "no summary line"
if grep -vE '^(\[[01] COM[78]\] |Summary: |  #  PORT| +[01]  COM)' "$work/two.out"; then
  fail "lines above are neither labelled nor the summary's"
fi
if grep -q $'\r' "$work/two.out"; then fail "stdout carries CR characters"; fi
same_as_image first
same_as_image second
echo "== both devices hold the image"

serve COM7 good
serve COM8 refusing --fault status:prog:0x400:0x0A
status=0
"$wine_run" "$prefix" "$exe" flash "$(windows_path "$update_file")" --port COM7 --port COM8 --iap \
  --json >"$work/json.out" 2>"$work/json.err" || status=$?
stop_servers
echo "== --json over two COM ports, one refusing (exit $status)"
grep -E '"event":"(result|summary)"' "$work/json.out" || true
[ "$status" -eq 1 ] || fail "a refusing device gave exit $status, not 1"
python3 "$validator" "$schema" "$work/json.out" || fail "--json lines that the schema refuses"
grep -q '"event":"result","elapsed":[0-9.]*,"position":0,"port":"COM7","success":true' \
  "$work/json.out" || fail "no success result for COM7"
grep -q '"position":1,"port":"COM8","success":false,"failed_step":4,.*"message":"\[00000400\]编程(A)\."' \
  "$work/json.out" || fail "no failure result for COM8"
grep -q '"event":"summary",.*"devices":2,"succeeded":1,"failed":1,"exit_status":1' \
  "$work/json.out" || fail "no summary object"
same_as_image good

# --timeout: a device that takes 400 ms over each reply is stopped after 2 s, its port closed.
serve COM7 slow --latency 400
started=$SECONDS
status=0
"$wine_run" "$prefix" "$exe" flash "$(windows_path "$update_file")" --port COM7 --iap \
  --timeout 2 >"$work/slow.out" 2>"$work/slow.err" || status=$?
elapsed=$((SECONDS - started))
stop_servers
echo "== --timeout 2 over COM7 (exit $status, $elapsed s)"
cat "$work/slow.err"
[ "$status" -eq 1 ] || fail "a run past its time limit exited with $status, not 1"
grep -qx 'iapflash: the run was stopped at its time limit of 2 s' "$work/slow.err" ||
  fail "no time-limit line on stderr"
grep -A1 -x '7.关闭下载接口>>' "$work/slow.out" | grep -qx '    已关闭。' || fail "the port was not closed"
[ "$elapsed" -le 12 ] || fail "the time limit took $elapsed s to end the run"
echo "PASSED"
