#!/usr/bin/env bash
# iapflash.exe under Wine: one COM port under several spellings is named twice (a usage error
# before any port is opened), blanks around a port name are refused; pack names the file the
# system really wrote ("new.bin." is new.bin), keeps a read-only OUT unless --force, and writes
# BIN by the file's own name in a folder named .hex, with a warning.
#   port_names_and_pack.sh WINE_RUN PREFIX IAPFLASH_EXE SAMPLE_BIN
set -euo pipefail
wine_run=$1 prefix=$2 exe=$3 sample=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
source "$(dirname "$0")/script_lib.sh"

file=$(windows_path "$sample")
for second in com7 'COM7' '\\.\COM7' '\\.\com7' 'Com7'; do
  win flash "$file" --port COM7 --port "$second" --iap
  [ "$status" -eq 2 ] || fail "COM7 and $second: exit $status, not 2"
  grep -qxF -- "--port: $second is named twice" "$work/err.lf" || fail "COM7 and $second: no refusal"
  [ ! -s "$work/out.lf" ] || fail "COM7 and $second: a run began"
done
for name in 'COM7 ' ' COM7' 'COM7	'; do
  win flash "$file" --port "$name" --iap
  [ "$status" -eq 2 ] || fail "\"$name\": exit $status, not 2"
  grep -q 'the port name begins or ends with a blank' "$work/err.lf" || fail "\"$name\": no refusal"
done
# Two ports that only look alike are two runs (neither exists here: each fails on its own).
win flash "$file" --port COM97 --port COM970 --iap
[ "$status" -eq 1 ] || fail "COM97 and COM970: exit $status, not 1"
grep -q 'named twice' "$work/err.lf" && fail "COM97 and COM970 taken for one port"

# The sample's image without its header: a build's raw binary.
tail -c +513 "$sample" >"$work/app.bin"
in=$(windows_path "$work/app.bin")

# The trailing dot: the system keeps new.bin, and the line says so.
win pack "$in" -o "$(windows_path "$work/new.bin.")"
[ "$status" -eq 0 ] || fail "pack to new.bin. exited with $status"
[ -f "$work/new.bin" ] || fail "no new.bin written"
grep -q "^Z:.*\\\\new\\.bin: BIN update file" "$work/out.lf" || fail "the line does not name new.bin"

# Read-only (Wine shows a file without write permission as read-only).
printf previous >"$work/locked.bin"
chmod 444 "$work/locked.bin"
win pack "$in" -o "$(windows_path "$work/locked.bin")"
[ "$status" -eq 1 ] || fail "pack onto a read-only file exited with $status, not 1"
grep -q 'the file is read-only; pack replaces it only with --force' "$work/err.lf" ||
  fail "no read-only refusal"
[ "$(cat "$work/locked.bin")" = previous ] || fail "the read-only file was changed"
win pack "$in" -o "$(windows_path "$work/locked.bin")" --force
[ "$status" -eq 0 ] || fail "pack --force exited with $status"
cmp "$work/locked.bin" "$work/new.bin" || fail "--force did not write the update file"

# A folder named .hex: BIN by the name, and a warning.
mkdir "$work/fw.hexfiles"
win pack "$in" -o "$(windows_path "$work/fw.hexfiles/app.bin")"
[ "$status" -eq 0 ] || fail "pack into fw.hexfiles exited with $status"
cmp "$work/fw.hexfiles/app.bin" "$work/new.bin" || fail "not written as BIN"
grep -q 'warning: .*written as BIN, as its name says' "$work/err.lf" || fail "no warning"

leftovers=$(find "$work" -name '.iapflash-*.tmp')
[ -z "$leftovers" ] || fail "temporary files left: $leftovers"
echo "== port names and pack under Wine as documented"
