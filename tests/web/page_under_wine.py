#!/usr/bin/python3
"""The Windows build's station screen under Wine, fetched from the Linux side over loopback.

    page_under_wine.py WINE_RUN PREFIX IAPFLASH.EXE UPDATE_FILE
    page_under_wine.py --native IAPFLASH UPDATE_FILE     (the Linux build, the same checks)

Runs `iapflash.exe station UPDATE_FILE --simulate=station --json --http PORT` and fetches its
page: the page and its script must come back as the Linux build serves them, no method but GET
is taken, the event stream must carry the very objects the station prints with --json, and
/records the records of the boards it flashed. Ctrl+C (SIGINT to Wine) then ends the station.
"""
import json
import queue
import signal
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request

from page_wait import free_port, wait_until_listening

WAIT_S = 60  # Wine starts slowly on a busy machine; a bound, not a pace


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def fetch(url):
    return urllib.request.urlopen(url, timeout=WAIT_S)


def main():
    if sys.argv[1] == "--native":
        exe, update_file = sys.argv[2:4]
        command = [exe, "station", update_file]
    else:
        wine_run, prefix, exe, update_file = sys.argv[1:5]
        command = [wine_run, prefix, exe, "station", windows_path(update_file)]
    port = free_port()
    url = "http://127.0.0.1:%d/" % port
    station = subprocess.Popen(
        command + ["--simulate=station", "--json", "--http", str(port)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, encoding="utf-8")
    printed = queue.Queue()  # the objects the station prints on stdout
    threading.Thread(target=lambda: [printed.put(json.loads(line)) for line in station.stdout],
                     daemon=True).start()
    try:
        wait_until_listening(port, station, WAIT_S)

        page = fetch(url)
        body = page.read().decode("utf-8")
        assert page.status == 200 and "<title>iapflash station</title>" in body, body[:200]
        assert "script-src 'self'" in page.headers["Content-Security-Policy"]
        script = fetch(url + "screen.js").read().decode("utf-8")
        assert "textContent" in script and "innerHTML" not in script
        refused = urllib.request.Request(url + "records", data=b"{}", method="POST")
        try:
            urllib.request.urlopen(refused, timeout=WAIT_S)
            raise SystemExit("FAILED: POST /records was taken")
        except urllib.error.HTTPError as error:
            assert error.code == 405, error.code

        # The stream until it has carried a board's result (a run object) and the tallies that
        # follow it (a station object).
        streamed = []
        with socket.create_connection(("127.0.0.1", port), timeout=WAIT_S) as viewer:
            viewer.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            received = b""
            while not (any(o["event"] == "result" for o in streamed)
                       and streamed[-1]["event"] == "tallies"):
                chunk = viewer.recv(65536)
                assert chunk, received[-2000:]
                received += chunk
                *events, received = received.split(b"\n\n")
                for event in events:
                    lines = event.split(b"\n")
                    if b"event: record" in lines:
                        continue
                    for line in lines:
                        if line.startswith(b"data: "):
                            streamed.append(json.loads(line[len(b"data: "):]))
        assert streamed[0]["event"] == "station_started", streamed[0]

        # Each object streamed was printed on stdout, the same object.
        seen = []
        for wanted in streamed:
            while wanted not in seen:
                seen.append(printed.get(timeout=WAIT_S))

        # The result came before its record: the record follows within the bound.
        deadline = time.monotonic() + WAIT_S
        records = []
        while not records and time.monotonic() < deadline:
            records = json.loads(fetch(url + "records").read())
        assert records and records[0]["result"] in ("success", "failure"), records

        station.send_signal(signal.SIGINT)
        status = station.wait(timeout=WAIT_S)
        assert status == 130, (status, station.stderr.read())
        print("%d objects streamed, each as stdout printed it; %d records; exit status %d"
              % (len(streamed), len(records), status))
        print("1 passed, 0 failed")
    finally:
        if station.poll() is None:
            station.kill()
            station.wait(timeout=WAIT_S)


if __name__ == "__main__":
    main()
