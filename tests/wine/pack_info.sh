#!/usr/bin/env bash
# pack and info of iapflash.exe under Wine: the update files it makes from a build's Intel HEX
# are byte for byte those of the Linux build (whose downloads the integration tests check), its
# info reads them alike, shows where refused HEX text stops, and it never overwrites its input
# under another spelling of the same name (Windows names ignore case).
#   pack_info.sh WINE_RUN PREFIX IAPFLASH_EXE LINUX_BUILD BUILD_HEX
set -euo pipefail
wine_run=$1 prefix=$2 exe=$3 linux_build=$4 build_hex=$5
linux=$linux_build/src/cli/iapflash
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/script_lib.sh"

cp "$build_hex" "$work/app.hex"
for out in update.bin update.hex; do
  win pack "$(windows_path "$work/app.hex")" -o "$(windows_path "$work/$out")"
  [ "$status" -eq 0 ] || fail "pack to $out exited with $status"
  "$linux" pack "$work/app.hex" -o "$work/linux-$out" >/dev/null
  cmp "$work/$out" "$work/linux-$out" || fail "$out differs from the Linux build's"

  win info "$(windows_path "$work/$out")"
  [ "$status" -eq 0 ] || fail "info on $out exited with $status"
  "$linux" info "$work/$out" | grep -v '^file: ' >"$work/linux-info"
  grep -v '^file: ' "$work/out.lf" | diff - "$work/linux-info" || fail "info on $out differs"
done
grep -qx 'image length: 2048 bytes' "$work/out.lf" || fail "info shows the wrong length"

# The build's text itself is no update file: LF line ends stop the loader's walk on line 2.
{ head -c 512 "$work/update.hex"; cat "$work/app.hex"; } >"$work/lf.hex"
win info "$(windows_path "$work/lf.hex")"
[ "$status" -eq 1 ] || fail "info on LF text exited with $status, not 1"
grep -qx 'loader: 无效的HEX文件.' "$work/out.lf" || fail "no loader line"
grep -q '^stops at: line 2, column 2 of the HEX text' "$work/out.lf" || fail "no stop position"

# The input under an upper-case spelling is the input.
win pack "$(windows_path "$work/app.hex")" -o "$(windows_path "$work/APP.HEX")"
[ "$status" -eq 1 ] || fail "packing onto the input exited with $status, not 1"
grep -q 'pack never overwrites its input' "$work/err" || fail "no refusal line"
cmp "$work/app.hex" "$build_hex" || fail "the input was changed"

leftovers=$(find "$work" -name '.iapflash-*.tmp')
[ -z "$leftovers" ] || fail "temporary files left: $leftovers"
echo "== pack and info under Wine agree with the Linux build"
