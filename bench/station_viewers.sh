#!/usr/bin/env bash
# Boards per hour of `iapflash station --http` with no viewer and with 32 viewers reading the
# page's event stream: sixteen simulated devices on pseudo-terminals at 115200 baud (iapflash
# sim, one board each, a 32 KiB image), WAVES waves each, alternating. The viewers are connected
# (each has its first bytes) before the boards go into their slots (links that appear), so the
# whole wave runs with them; boards per hour are the station's own: from its first
# board_arrived object to its last result object (--json). Target: with_32_over_none >= 0.98.
#   station_viewers.sh BUILD [WAVES]
set -euo pipefail
build=$1
waves=${2:-3}
exe=$build/src/cli/iapflash
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

/usr/bin/python3 - "$exe" "$work" "$waves" <<'PY'
import json, os, select, socket, statistics, subprocess, sys, time

exe, work, waves = sys.argv[1], sys.argv[2], int(sys.argv[3])
SLOTS = 16
image = os.path.join(work, "image.bin")
with open(image, "wb") as f:
    f.write(b"IAP_UPDATA_FILE".ljust(512, b"\0"))
    f.write(bytes((i * 29 + i // 256) & 0xFF for i in range(32768)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wave(viewers, number):
    sims = [subprocess.Popen([exe, "sim", "--baud", "115200"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True) for _ in range(SLOTS)]
    ptys = [sim.stdout.readline().strip() for sim in sims]
    links = [os.path.join(work, "w%d-slot%d" % (number, k)) for k in range(SLOTS)]
    port = free_port()
    args = [exe, "station", image, "--iap", "--count", str(SLOTS), "--json", "--http", str(port)]
    for link in links:
        args += ["--port", link]
    out = open(os.path.join(work, "station%d.jsonl" % number), "w+")
    station = subprocess.Popen(args, stdout=out, stderr=subprocess.DEVNULL)
    streams = []
    try:
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise SystemExit("the station never listened")
                time.sleep(0.02)
        for _ in range(viewers):
            s = socket.create_connection(("127.0.0.1", port))
            s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            streams.append(s)
        for s in streams:  # each viewer has its first bytes: it is connected
            first = b""
            while b"retry: 1000" not in first:
                chunk = s.recv(65536)
                if not chunk or b" 503 " in first + chunk:
                    raise SystemExit("a viewer was refused: %r" % (first + chunk)[:100])
                first += chunk
        for pty, link in zip(ptys, links):
            os.symlink(pty, link)
        read = 0
        cpu = None
        while cpu is None:  # the viewers read everything, as a browser does
            ready, _, _ = select.select(streams, [], [], 0.1)
            for s in ready:
                read += len(s.recv(65536))
            pid, _, usage = os.wait4(station.pid, os.WNOHANG)
            if pid == station.pid:
                cpu = usage.ru_utime + usage.ru_stime
                station.returncode = 0
    finally:
        for s in streams:
            s.close()
        if station.returncode is None:
            station.kill()
            station.wait()
        for sim in sims:
            sim.kill()
            sim.wait()
    out.seek(0)
    objects = [json.loads(line) for line in out]
    arrived = min(o["elapsed"] for o in objects if o["event"] == "board_arrived")
    results = [o for o in objects if o["event"] == "result"]
    if len(results) != SLOTS:
        raise SystemExit("wave %d: %d results" % (number, len(results)))
    ended = max(o["elapsed"] for o in results)
    return SLOTS * 3600 / (ended - arrived), read, cpu


rates = {0: [], 32: []}
for number in range(waves):
    for viewers in (0, 32):
        rate, read, cpu = wave(viewers, len(rates[0]) + len(rates[32]))
        rates[viewers].append(rate)
        print("wave %d, %2d viewers: %.1f boards per hour; the station used %.2f s of processor;"
              " %d bytes read by the viewers; load %s"
              % (number + 1, viewers, rate, cpu, read, open("/proc/loadavg").read().split()[0]),
              flush=True)
none, with32 = statistics.median(rates[0]), statistics.median(rates[32])
print("boards_per_hour_no_viewer %.1f" % none)
print("boards_per_hour_32_viewers %.1f" % with32)
print("with_32_over_none %.3f (target: >= 0.98)" % (with32 / none))
PY
