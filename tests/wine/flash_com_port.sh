#!/usr/bin/env bash
# End to end under Wine: iapflash.exe downloads over a COM port of the Wine prefix into a
# simulated device that the Linux build's `iapflash sim` serves on a pseudo-terminal.
#   flash_com_port.sh WINE_RUN PREFIX IAPFLASH_EXE LINUX_IAPFLASH UPDATE_FILE
set -euo pipefail
wine_run=$1 prefix=$2 exe=$3 linux_iapflash=$4 update_file=$5
work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# Wine reaches Linux paths through drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

"$linux_iapflash" sim >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
  [ -s "$work/sim.out" ] && break
  sleep 0.1
done
pty=$(head -n 1 "$work/sim.out")
[ -c "$pty" ] || fail "the simulated device gave no pseudo-terminal: $(cat "$work/sim.err")"

# Make the prefix first (no-op once made), then point COM7 at the device.
"$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1 || true
ln -sfn "$pty" "$prefix/dosdevices/com7"
rm -f "$prefix/dosdevices/com9"

status=0
"$wine_run" "$prefix" "$exe" flash "$(windows_path "$update_file")" --port COM7 --iap \
  >"$work/flash.out" 2>"$work/flash.err" || status=$?
echo "== flash over COM7 (exit $status)"
cat "$work/flash.out"
[ "$status" -eq 0 ] || fail "flash over COM7 exited with $status: $(cat "$work/flash.err")"
grep -qx '    COM7打开成功' "$work/flash.out" || fail "no open line for COM7"
grep -qx '  已读取下载数据2048字节' "$work/flash.out" || fail "the whole image was not read"
# The device compares its memory with the image on verify: success means byte for byte.
grep -A1 -x '5.下载检验>>' "$work/flash.out" | grep -q '  成功' || fail "verify did not succeed"
grep -qx '\*\*\*\*固件下载成功.' "$work/flash.out" || fail "no success summary"
if grep -q $'\r' "$work/flash.out"; then fail "stdout carries CR characters"; fi

status=0
"$wine_run" "$prefix" "$exe" flash "$(windows_path "$update_file")" --port COM9 --iap \
  >"$work/missing.out" 2>"$work/missing.err" || status=$?
echo "== flash over a missing COM9 (exit $status)"
cat "$work/missing.out"
[ "$status" -eq 1 ] || fail "a missing port exited with $status, not 1"
grep -qx '    COM9打开失败' "$work/missing.out" || fail "no open failure line for COM9"
grep -q '^打开串口::Last Err([0-9a-f]*)' "$work/missing.out" || fail "no system error line for COM9"
echo "PASSED"
