#!/usr/bin/env bash
# Discovery under Wine against a device registry of the shapes Windows writes
# (device_registry.py): `iapflash.exe list` lists its devices byte for byte; `flash FILE` without
# --port downloads into the scanned boot program (COM8, a simulated device of the Linux build);
# the application at hub port 3 (COM5, application_device.py) is switched and found again as the
# boot program at the same place (COM12) once the registry changes under the run; a device whose
# interfaces go leaves the next scan. The devices are taken out of the prefix's registry again at
# the end.
# The dialog's 1.查找设备 shows the same lines as `list` (first_steps_driver.exe --devices).
#   device_registry.sh WINE_RUN PREFIX IAPFLASH_EXE SWITCH_EXE LINUX_BUILD FILE GUI_EXE DRIVER_EXE
set -euo pipefail
wine_run=$1 prefix=$2 exe=$3 switcher=$4 linux_build=$5 update_file=$6 gui=$7 driver=$8
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
regedit() { "$wine_run" "$prefix" regedit /s "$(windows_path "$1")"; }
cleanup() {
  stop_servers
  wait 2>/dev/null || true
  regedit "$work/cleared.reg" || true
  rm -f "$prefix/dosdevices/com5" "$prefix/dosdevices/com8" "$prefix/dosdevices/com12"
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/script_lib.sh"

list() { "$wine_run" "$prefix" "$exe" list | tr -d '\r'; }

python3 "$here/device_registry.py" "$work"
"$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1 || true
regedit "$work/cleared.reg"
regedit "$work/devices.reg"

# The composite device's two ports in one entry by their interfaces; the single-function devices
# listed by both interface classes, so twice; the boot program marked IAP; the other vendor's
# bridge and the board's own COM1 not at all.
expected='已查找到7个设备
 Port0>> P0:COM4,
 Port1>> P0:COM3,P1:COM10,
 Port2>> P0:COM5,
IAP Port3>> P0:COM8,
 Port4>> P0:COM4,
 Port5>> P0:COM5,
IAP Port6>> P0:COM8,'
[ "$(list)" = "$expected" ] || fail "list shows: $(list)"
echo "== iapflash.exe list shows the registry's devices"

# The window: the log line of a press of 1.查找设备, then its device list, line by line.
"$wine_run" "$prefix" "$driver" --devices "$(windows_path "$gui")" >"$work/dialog.out" \
  2>"$work/dialog.err" || fail "the dialog's scan: $(cat "$work/dialog.out" "$work/dialog.err")"
[ "$(tr -d '\r' <"$work/dialog.out")" = "$expected" ] ||
  fail "the dialog's 1.查找设备 shows: $(cat "$work/dialog.out")"
echo "== the dialog's 1.查找设备 shows the same list"

# flash FILE: the last device of the scan, the boot program on COM8.
image_length=$(($(stat -c %s "$update_file") - 512))
serve_command COM8 boot "$linux_build/src/cli/iapflash" sim --memory "$work/boot.bin"
"$wine_run" "$prefix" "$exe" flash "$(windows_path "$update_file")" >"$work/flash.out" 2>&1 ||
  fail "flash without --port: $(cat "$work/flash.out")"
stop_servers
grep -qx '    COM8打开成功' "$work/flash.out" || fail "COM8 was not opened: $(cat "$work/flash.out")"
if grep -q '开始切换至IAP模式' "$work/flash.out"; then fail "a boot program was switched"; fi
cmp -n "$image_length" <(tail -c +513 "$update_file") "$work/boot.bin" ||
  fail "the boot program's memory differs from the image"
echo "== flash FILE downloaded into the scanned boot program on COM8"

# --device 2: the application on COM5. It answers the request; then its interfaces go and the
# boot program's come at hub port 3, under the run; the run finds it there, on COM12.
serve_command COM12 switched "$linux_build/src/cli/iapflash" sim --memory "$work/switched.bin"
serve_command COM5 application python3 "$here/application_device.py" "$work/replied"
"$wine_run" "$prefix" "$switcher" "$(windows_path "$work/replied")" \
  "$(windows_path "$work/switch.txt")" >"$work/switcher.out" 2>&1 &
switcher_pid=$!
"$wine_run" "$prefix" "$exe" flash "$(windows_path "$update_file")" --device 2 >"$work/switch.out" 2>&1 ||
  fail "the mode switch: $(cat "$work/switch.out") $(cat "$work/switcher.out")"
wait "$switcher_pid" || fail "the registry did not change: $(cat "$work/switcher.out")"
stop_servers
cat "$work/switch.out"
grep -qx '    COM5打开成功' "$work/switch.out" || fail "COM5 was not opened"
grep -qx '\.*已切换,端口:COM12' "$work/switch.out" || fail "the boot program was not found on COM12"
grep -qx '    COM12打开成功' "$work/switch.out" || fail "COM12 was not opened"
cmp -n "$image_length" <(tail -c +513 "$update_file") "$work/switched.bin" ||
  fail "the switched device's memory differs from the image"
echo "== the application was switched and found again at its hub port as COM12"

# The USB-serial bridge's interfaces go: it leaves the next scan.
regedit "$work/unplugged.reg"
expected='已查找到5个设备
 Port0>> P0:COM3,P1:COM10,
IAP Port1>> P0:COM12,
IAP Port2>> P0:COM8,
IAP Port3>> P0:COM12,
IAP Port4>> P0:COM8,'
[ "$(list)" = "$expected" ] || fail "after the bridge left, list shows: $(list)"
echo "PASSED"
