#!/usr/bin/env bash
# The station with boards arriving continuously: sixteen --port slots, each a pseudo-terminal
# served by `iapflash sim --baud 115200`. Pseudo-terminals rather than the simulated bus: the
# bus gives its boards no line time, while `iapflash sim` takes each byte's time at 115200 baud
# and the station opens real ttys through termios, as on a production line. A board is put in
# (its slot's link appears) as soon as the station has seen the one before it leave
# (board_left), and taken out as soon as its result is out. Boards per hour are the station's
# own: from its first board_arrived object to its last result object (--json).
#
#   1. One slot alone, ROUNDS boards one after another (a 16 KiB image): one board's time,
#      arrival to arrival, leaving and arriving included.
#   2. Sixteen slots, ROUNDS boards each, the same way. Target: at least 95 % of
#      16 x (3600 / one board's time). The two alternate REPEATS times (the machine is
#      shared and its load changes); their medians count.
#   3. Memory: BOARDS boards (1,000) through sixteen slots, a 1 KiB image (each board's time is
#      then mostly the station's wait for it to leave); the station's VmHWM and VmRSS after 100
#      and after BOARDS boards. Target: VmHWM under 32 MB, and no growth per board.
# What it shows: the station's throughput with boards that carry no identity (pseudo-terminals
# have no USB serial number), where each slot waits 2 s after a board has left before it takes
# the next, so that a board that restarts is never flashed twice. bench_station_swaps measures
# boards that carry serial numbers, swapped in one move, against one board's download time.
# About five minutes, most of it the memory run (some 3.3 s a board per slot: the station waits
# 2 s to be sure a board has left).
#   station_slots.sh BUILD [ROUNDS] [BOARDS] [REPEATS]
set -euo pipefail
build=$1
rounds=${2:-2}
boards=${3:-1000}
repeats=${4:-3}
exe=$build/src/cli/iapflash
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$exe" "$work" "$rounds" "$boards" "$repeats" <<'PY'
import json, os, signal, statistics, subprocess, sys

exe, work = sys.argv[1], sys.argv[2]
rounds, memory_boards, repeats = int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
SLOTS = 16


def image(name, length):
    path = os.path.join(work, name)
    with open(path, "wb") as f:
        f.write(b"IAP_UPDATA_FILE".ljust(512, b"\0"))
        f.write(bytes((i * 29 + i // 256) & 0xFF for i in range(length)))
    return path


def memory(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmHWM", "VmRSS"):
                fields[key] = int(value.split()[0])  # kB
    return fields


def run(name, slots, total, path, samples=()):
    """Runs a station over `slots` pty slots until `total` boards have their result, putting a
    board in each slot as soon as the one before it has left. Returns boards per hour, the
    mean seconds of a run, and the memory seen after each count in samples."""
    sims = [subprocess.Popen([exe, "sim", "--baud", "115200"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True) for _ in range(slots)]
    ptys = [sim.stdout.readline().strip() for sim in sims]
    links = [os.path.join(work, "%s-slot%d" % (name, k)) for k in range(slots)]
    # No --count: the station is still there to be looked at after the last result, then
    # SIGTERM ends it (143).
    args = [exe, "station", path, "--iap", "--json"]
    for link in links:
        args += ["--port", link]
    station = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    seen = {}
    arrived, ended, results, seconds, plugged = None, None, 0, [], 0
    try:
        for pty, link in zip(ptys, links):
            if plugged < total:
                os.symlink(pty, link)
                plugged += 1
        for line in station.stdout:
            event = json.loads(line)
            kind = event["event"]
            if kind == "board_arrived" and arrived is None:
                arrived = event["elapsed"]
            elif kind == "result":
                if not event["success"]:
                    raise SystemExit("%s: a run failed: %s" % (name, line.strip()))
                results += 1
                ended = event["elapsed"]
                seconds.append(event["seconds"])
                os.unlink(links[event["position"]])  # taken out at once
                if results in samples:
                    seen[results] = memory(station.pid)
                if results == total:
                    break
            elif kind == "board_left" and plugged < total:
                os.symlink(ptys[event["position"]], links[event["position"]])  # the next board
                plugged += 1
        station.send_signal(signal.SIGTERM)
        station.stdout.read()
        if station.wait() != 143:
            raise SystemExit("%s: the station ended with %d" % (name, station.returncode))
    finally:
        if station.poll() is None:
            station.kill()
            station.wait()
        for sim in sims:
            sim.kill()
            sim.wait()
        for link in links:
            if os.path.lexists(link):
                os.unlink(link)
    if results != total:
        raise SystemExit("%s: %d results of %d" % (name, results, total))
    return total * 3600 / (ended - arrived), sum(seconds) / len(seconds), seen


def load():
    return open("/proc/loadavg").read().split()[0]


# The machine is shared: one slot and sixteen alternate, REPEATS times, and the medians count.
big = image("image.bin", 16384)
ones, manys = [], []
for number in range(repeats):
    one, one_run, _ = run("one%d" % number, 1, rounds, big)
    print("one slot, %d boards: %.1f boards per hour (a board every %.2f s; its run %.2f s);"
          " load %s" % (rounds, one, 3600 / one, one_run, load()), flush=True)
    many, many_run, _ = run("sixteen%d" % number, SLOTS, SLOTS * rounds, big)
    print("%d slots, %d boards: %.1f boards per hour (%.1f x one slot; runs of %.2f s); load %s"
          % (SLOTS, SLOTS * rounds, many, many / one, many_run, load()), flush=True)
    ones.append(one)
    manys.append(many)
one, many = statistics.median(ones), statistics.median(manys)
print("boards_per_hour_16_slots %.1f" % many)
print("boards_per_hour_16_x_one %.1f" % (SLOTS * one))
print("sixteen_over_16_x_one %.3f (target: >= 0.95)" % (many / (SLOTS * one)))

small = image("small.bin", 1024)
early = min(100, memory_boards)
_, _, seen = run("memory", SLOTS, memory_boards, small, samples=(early, memory_boards))
for count in (early, memory_boards):
    print("after %d boards: VmHWM %d kB, VmRSS %d kB"
          % (count, seen[count]["VmHWM"], seen[count]["VmRSS"]))
boards_between = max(1, memory_boards - early)
for key in ("VmHWM", "VmRSS"):
    growth = (seen[memory_boards][key] - seen[early][key]) * 1024 / boards_between
    print("%s_growth_bytes_per_board %.0f (from board %d to %d; target: none)"
          % (key.lower(), growth, early, memory_boards))
print("vmhwm_mb_after_%d %.1f (target: < 32)" % (memory_boards, seen[memory_boards]["VmHWM"] / 1024))
PY
