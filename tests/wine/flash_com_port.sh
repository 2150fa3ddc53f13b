#!/usr/bin/env bash
# End to end under Wine: iapflash.exe downloads over COM7 of the Wine prefix, which leads to the
# pseudo-terminal of a simulated device served by the Linux build (`iapflash sim`): once into a
# good device, whose memory is then compared with the image byte for byte, and once into a
# device whose reply comes short, to see the read's time limit; without --iap, the mode-switch
# request goes out and its reply is waited for. A missing COM9 gives the open failure and the
# system's error line.
#   flash_com_port.sh WINE_RUN PREFIX IAPFLASH_EXE LINUX_BUILD UPDATE_FILE
set -euo pipefail
wine_run=$1 prefix=$2 exe=$3 linux_build=$4 update_file=$5
work=$(mktemp -d)
trap 'stop_servers; rm -rf "$work"' EXIT
source "$(dirname "$0")/script_lib.sh"

# flash PORT OUT: runs iapflash.exe flash over PORT; its exit status lands in $status.
flash() {
  status=0
  "$wine_run" "$prefix" "$exe" flash "$(windows_path "$update_file")" --port "$1" --iap \
    >"$work/$2" 2>"$work/$2.err" || status=$?
  echo "== flash over $1 (exit $status)"
  cat "$work/$2"
}

expect_success() {
  local out=$work/$1
  [ "$status" -eq 0 ] || fail "flash over COM7 exited with $status: $(cat "$out.err")"
  grep -qx '    COM7打开成功' "$out" || fail "no open line for COM7"
  grep -qx '  已读取下载数据2048字节' "$out" || fail "the whole image was not read"
  grep -A1 -x '5.下载检验>>' "$out" | grep -qx '\.*  成功' || fail "verify did not succeed"
  grep -qx '\*\*\*\*固件下载成功.' "$out" || fail "no success summary"
  if grep -q $'\r' "$out"; then fail "stdout carries CR characters"; fi
}

# The prefix exists before its dosdevices are touched.
"$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1 || true
rm -f "$prefix/dosdevices/com9"

serve_command COM7 good "$linux_build/src/cli/iapflash" sim --memory "$work/memory.bin"
flash COM7 sim.out
expect_success sim.out
stop_servers
image_length=$(($(stat -c %s "$update_file") - 512))
cmp -n "$image_length" <(tail -c +513 "$update_file") "$work/memory.bin" ||
  fail "the device's memory differs from the image"
echo "== the device holds the image's $image_length bytes"

# A device that answers the end command with 5 of its 6 bytes: the read gives up at its total
# limit, 6 x 1000 + 2000 ms, and returns what came (the verify has decided the run already).
serve_command COM7 short "$linux_build/src/cli/iapflash" sim --fault short:end
started=$SECONDS
flash COM7 short.out
elapsed=$((SECONDS - started))
stop_servers
[ "$status" -eq 0 ] || fail "a short end reply exited with $status, not 0"
grep -q '^    串口读操作返回长度错误(5-6-[0-9A-F]*)\.$' "$work/short.out" || fail "no length line for 5 bytes"
if [ "$elapsed" -lt 8 ] || [ "$elapsed" -gt 20 ]; then
  fail "the short read took ${elapsed} s, not about 8 s"
fi
echo "== the short read gave up after about $elapsed s"

# Without --iap the application is first asked to switch; a boot program does not answer the
# request, so the 14-byte reply read gives up after 14 x 1 + 2000 ms.
serve_command COM7 boot "$linux_build/src/cli/iapflash" sim
status=0
"$wine_run" "$prefix" "$exe" flash "$(windows_path "$update_file")" --port COM7 \
  >"$work/switch.out" 2>"$work/switch.err" || status=$?
stop_servers
echo "== mode switch over COM7 (exit $status)"
cat "$work/switch.out"
[ "$status" -eq 1 ] || fail "an unanswered mode switch exited with $status, not 1"
grep -A2 -x '    开始切换至IAP模式' "$work/switch.out" | tr '\n' '|' |
  grep -q '^    开始切换至IAP模式|\.    设备无响应1:|    失败\.|$' || fail "no unanswered-switch lines"

# Ctrl+C (Wine turns SIGINT into it) in the middle of an 8 s reply read ends the run at once
# through its own close; the next run opens the port.
serve_command COM7 silent "$linux_build/src/cli/iapflash" sim --fault silent:prog:0x400
"$wine_run" "$prefix" "$exe" flash "$(windows_path "$update_file")" --port COM7 --iap \
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
echo "== interrupted run (exit $status after $elapsed_ms ms)"
cat "$work/interrupted.out"
[ "$status" -eq 130 ] || fail "an interrupted run exited with $status, not 130"
[ "$elapsed_ms" -le 500 ] || fail "the interrupted run took $elapsed_ms ms to end"
grep -qx '    已关闭。' "$work/interrupted.out" || fail "the interrupted run did not close the port"
grep -qx 'iapflash: the run was interrupted by Ctrl+C' "$work/interrupted.err" ||
  fail "no interruption message: $(cat "$work/interrupted.err")"
flash COM7 after-interrupt.out
stop_servers
expect_success after-interrupt.out

# Arguments arrive in UTF-16, whatever the ANSI code page: a Chinese path opens, and a missing
# one is named in Chinese in the log.
mkdir -p "$work/固件"
cp "$update_file" "$work/固件/版本一.bin"
serve_command COM7 chinese "$linux_build/src/cli/iapflash" sim
status=0
"$wine_run" "$prefix" "$exe" flash "$(windows_path "$work/固件/版本一.bin")" --port COM7 --iap \
  >"$work/chinese.out" 2>"$work/chinese.err" || status=$?
stop_servers
echo "== flash of a Chinese path (exit $status)"
[ "$status" -eq 0 ] || fail "the Chinese path exited with $status: $(cat "$work/chinese.out")"
expect_success chinese.out
status=0
"$wine_run" "$prefix" "$exe" flash "$(windows_path "$work/固件/缺少.bin")" --port COM7 --iap \
  >"$work/chinese-missing.out" 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "a missing Chinese path exited with $status, not 1"
grep -qxF "    无法打开下载文件$(windows_path "$work/固件/缺少.bin")" "$work/chinese-missing.out" ||
  fail "the log does not name the missing file in Chinese: $(cat "$work/chinese-missing.out")"
echo "== a missing Chinese path is named in Chinese"
# The same on a console (a terminal for Wine's console): the text goes out as UTF-16 and shows.
script -qec "$(printf '%q ' "$wine_run" "$prefix" "$exe" flash \
  "$(windows_path "$work/固件/缺少.bin")" --port COM7 --iap)" "$work/console.typescript" \
  >/dev/null 2>&1 </dev/null || true
grep -qF "    无法打开下载文件$(windows_path "$work/固件/缺少.bin")" "$work/console.typescript" ||
  fail "the console does not show the Chinese path: $(cat -v "$work/console.typescript")"
echo "== the console shows the Chinese path"

# A path that starts with "/" is a path, not a Windows-style option.
cp "$update_file" "$work/fw.bin"
serve_command COM7 slash "$linux_build/src/cli/iapflash" sim
status=0
"$wine_run" "$prefix" "$exe" flash "$work/fw.bin" --port COM7 --iap >"$work/slash.out" 2>&1 ||
  status=$?
stop_servers
[ "$status" -eq 0 ] || fail "flash $work/fw.bin exited with $status: $(cat "$work/slash.out")"
echo "== flash $work/fw.bin succeeded"

# A regular file named as the port, plainly or as a device path: refused at open, never written.
head -c 1000 /dev/urandom >"$work/victim.bin"
cp "$work/victim.bin" "$work/victim.orig"
for port in "$(windows_path "$work/victim.bin")" "\\\\.\\$(windows_path "$work/victim.bin")"; do
  status=0
  "$wine_run" "$prefix" "$exe" flash "$(windows_path "$update_file")" --port "$port" --iap \
    >"$work/victim.out" 2>&1 || status=$?
  [ "$status" -eq 1 ] || fail "--port $port exited with $status, not 1"
  grep -qxF "    ${port}打开失败" "$work/victim.out" || fail "no open failure for $port: $(cat "$work/victim.out")"
  if grep -q '打开成功' "$work/victim.out"; then fail "$port was opened as a port"; fi
  cmp -s "$work/victim.bin" "$work/victim.orig" || fail "$port was written to"
done
echo "== a regular file as the port is refused and left unchanged"

flash COM9 missing.out
[ "$status" -eq 1 ] || fail "a missing port exited with $status, not 1"
grep -qx '    COM9打开失败' "$work/missing.out" || fail "no open failure line for COM9"
grep -q '^打开串口::Last Err([0-9a-f]*)..*' "$work/missing.out" || fail "no system error line for COM9"
echo "PASSED"
