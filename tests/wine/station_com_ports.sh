#!/usr/bin/env bash
# Under Wine: iapflash.exe's station. Over COM7 and COM8 of the prefix, each leading to the
# pseudo-terminal of a simulated device served by the Linux build (`iapflash sim`): each board is
# flashed once while it stays, COM7's board is pulled (its link gone) and a new one plugged in
# there is flashed in turn; the batch of three ends the station with 0, its records whole and
# every memory equal to the image. Ctrl+C ends a station whose run waits for a reply: the run is
# recorded as interrupted, exit 130. Over the simulated bus, the "station" scenario's batch of
# nine: its tallies equal to its records, exit 1.
#   station_com_ports.sh WINE_RUN PREFIX IAPFLASH_EXE LINUX_BUILD UPDATE_FILE SCHEMA VALIDATOR
set -euo pipefail
wine_run=$1 prefix=$2 exe=$3 linux_build=$4 update_file=$5 schema=$6 validator=$7
work=$(mktemp -d)
station_pid=
cleanup() {
  [ -n "$station_pid" ] && kill -KILL "$station_pid" 2>/dev/null || true
  stop_servers
  rm -f "$prefix/dosdevices/com7" "$prefix/dosdevices/com8"
  rm -rf "$work"
}
trap cleanup EXIT
source "$(dirname "$0")/script_lib.sh"

# unserve PID: ends one server; it writes its device's memory out as it ends.
unserve() {
  kill "$1"
  wait "$1" || true
  local kept=()
  for pid in "${servers[@]}"; do [ "$pid" = "$1" ] || kept+=("$pid"); done
  servers=("${kept[@]}")
}

same_as_image() {
  local length=$(($(stat -c %s "$update_file") - 512))
  cmp -n "$length" <(tail -c +513 "$update_file") "$work/$1.bin" ||
    fail "the memory of $1 differs from the image"
}

# events FILE NAME: how many objects of that event the station printed so far.
events() { grep -c "\"event\":\"$2\"" "$1" || true; }

# wait_events FILE NAME COUNT: waits (a bound, not a pace: Wine is slow on a busy machine) until
# the station printed COUNT objects of that event.
wait_events() {
  for _ in $(seq 1200); do
    [ "$(events "$1" "$2")" -ge "$3" ] && return 0
    kill -0 "$station_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$1"
  fail "no $3 $2 events"
}

# check_records FILE COUNT: COUNT lines, each one whole JSON object; prints "slot port result".
check_records() {
  python3 - "$1" "$2" <<'EOF'
import json, sys
text = open(sys.argv[1], encoding="utf-8").read()
assert text.endswith("\n"), "a last line without its end"
lines = text.splitlines()
assert len(lines) == int(sys.argv[2]), f"{len(lines)} records, not {sys.argv[2]}"
for line in lines:
    record = json.loads(line)
    print(record["slot"], record["port"], record["result"], record["image"]["length"])
EOF
}

"$wine_run" "$prefix" cmd /c exit >/dev/null 2>&1 || true
image_length=$(($(stat -c %s "$update_file") - 512))

# Two COM ports, a batch of three boards.
serve COM7 first
first_pid=$server_pid
serve COM8 second
out=$work/ports.out
"$wine_run" "$prefix" "$exe" station "$(windows_path "$update_file")" --port COM7 --port COM8 \
  --iap --count 3 --records "$(windows_path "$work/ports.jsonl")" --json \
  >"$out" 2>"$work/ports.err" &
station_pid=$!
wait_events "$out" result 2
# The boards stay for two seconds, eight looks at each port: no arrival, no run.
sleep 2
[ "$(events "$out" board_arrived)" -eq 2 ] || { cat "$out"; fail "a board that stayed arrived again"; }
[ "$(events "$out" result)" -eq 2 ] || { cat "$out"; fail "a board that stayed was flashed again"; }

# COM7's board is pulled; another is plugged in there.
rm -f "$prefix/dosdevices/com7"
unserve "$first_pid"
wait_events "$out" board_left 1
grep -q '"event":"board_left",.*"position":0,.*"board":1,' "$out" || fail "COM7's board did not leave"
serve COM7 third
status=0
wait "$station_pid" || status=$?
station_pid=
stop_servers
echo "== station over COM7 and COM8, three boards (exit $status)"
grep -vE '"event":"(progress|log|step_started|step_ended)"' "$out" || true
[ "$status" -eq 0 ] || fail "a batch of three good boards exited with $status: $(cat "$work/ports.err")"
python3 "$validator" "$schema" "$out" || fail "--json lines that the schema refuses"
[ "$(events "$out" board_arrived)" -eq 3 ] || fail "not three arrivals"
[ "$(grep -c '"event":"result",.*"success":true' "$out")" -eq 3 ] || fail "not three successes"
grep -q '"event":"tallies",.*"passed":3,"failed":0,"interrupted":0,"in_progress":0' "$out" ||
  fail "no tallies of three passed"
grep -q '"event":"summary",.*"exit_status":0' "$out" || fail "no summary with exit status 0"
records=$(check_records "$work/ports.jsonl" 3) || fail "records not whole: $(cat "$work/ports.jsonl")"
echo "$records"
[ "$(sort <<<"$records")" = "$(printf '0 COM7 success %s\n0 COM7 success %s\n1 COM8 success %s' \
  "$image_length" "$image_length" "$image_length")" ] || fail "records of other slots or results"
same_as_image first
same_as_image second
same_as_image third
echo "== the three devices hold the image"

# Ctrl+C while a run waits for the reply to a program command that never comes.
serve COM7 silent --fault silent:prog:0x400
out=$work/interrupted.out
"$wine_run" "$prefix" "$exe" station "$(windows_path "$update_file")" --port COM7 --iap \
  --records "$(windows_path "$work/interrupted.jsonl")" --json \
  >"$out" 2>"$work/interrupted.err" &
station_pid=$!
for _ in $(seq 1200); do
  grep -q '"event":"step_started",.*"step":4' "$out" 2>/dev/null && break
  sleep 0.1
done
sleep 0.5  # the unanswered program command goes out; its reply is waited for
kill -INT "$station_pid"
status=0
wait "$station_pid" || status=$?
station_pid=
stop_servers
echo "== station interrupted by Ctrl+C (exit $status)"
grep -vE '"event":"(progress|log|step_started|step_ended)"' "$out" || true
cat "$work/interrupted.err"
[ "$status" -eq 130 ] || fail "an interrupted station exited with $status, not 130"
grep -qx 'iapflash: the station was interrupted by Ctrl+C' "$work/interrupted.err" ||
  fail "no interruption message"
grep -q '"event":"summary",.*"exit_status":130' "$out" || fail "no summary with exit status 130"
records=$(check_records "$work/interrupted.jsonl" 1) ||
  fail "records not whole: $(cat "$work/interrupted.jsonl")"
[ "$records" = "0 COM7 interrupted $image_length" ] || fail "the run was recorded as: $records"

# The simulated bus's scenario: nine boards over four slots, four of them failing.
status=0
"$wine_run" "$prefix" "$exe" station "$(windows_path "$update_file")" --simulate=station \
  --count 9 --records "$(windows_path "$work/scenario.jsonl")" --json \
  >"$work/scenario.out" 2>"$work/scenario.err" || status=$?
echo "== the station scenario (exit $status)"
grep -E '"event":"(board_arrived|board_left|result|summary)"' "$work/scenario.out" || true
[ "$status" -eq 1 ] || fail "the scenario's batch exited with $status, not 1: $(cat "$work/scenario.err")"
python3 "$validator" "$schema" "$work/scenario.out" ||
  fail "--json lines that the schema refuses; stderr: $(cat "$work/scenario.err")"
records=$(check_records "$work/scenario.jsonl" 9) || fail "records not whole"
passed=$(grep -c ' success ' <<<"$records" || true)
failed=$(grep -c ' failure ' <<<"$records" || true)
[ "$passed" -eq 5 ] && [ "$failed" -eq 4 ] || fail "records of $passed passed and $failed failed"
grep '"event":"tallies"' "$work/scenario.out" | tail -n 1 |
  grep -q "\"passed\":$passed,\"failed\":$failed,\"interrupted\":0,\"in_progress\":0" ||
  fail "the last tallies differ from the records"
grep -q '"event":"summary",.*"devices":9,.*"exit_status":1' "$work/scenario.out" ||
  fail "no summary of nine with exit status 1"
echo "PASSED"
