#!/usr/bin/python3
"""The Windows build's page server under Wine, fetched from the Linux side over loopback.

    page_under_wine.py WINE_RUN PREFIX SERVER.EXE [ARGS...]

SERVER.EXE serves the station's page and prints its URL first (screen_feed.exe reads the event
lines to publish from stdin). The page and its script must come back as the Linux build serves
them, and an event published must arrive on the event stream.
"""
import socket
import subprocess
import sys
import urllib.request

WAIT_S = 60  # Wine starts slowly on a busy machine; a bound, not a pace


def main():
    command = sys.argv[1:]
    server = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True, encoding="utf-8")
    try:
        url = server.stdout.readline().strip()
        if not url.startswith("http://127.0.0.1:"):
            raise SystemExit("FAILED: no URL from the server: %r" % url)
        page = urllib.request.urlopen(url, timeout=WAIT_S)
        body = page.read().decode("utf-8")
        assert page.status == 200 and "<title>iapflash station</title>" in body, body[:200]
        assert "script-src 'self'" in page.headers["Content-Security-Policy"]
        script = urllib.request.urlopen(url + "screen.js", timeout=WAIT_S).read().decode("utf-8")
        assert "textContent" in script and "innerHTML" not in script
        refused = urllib.request.Request(url + "records", data=b"{}", method="POST")
        try:
            urllib.request.urlopen(refused, timeout=WAIT_S)
            raise SystemExit("FAILED: POST /records was taken")
        except urllib.error.HTTPError as error:
            assert error.code == 405, error.code

        host, port = url[len("http://"):].rstrip("/").split(":")
        with socket.create_connection((host, int(port)), timeout=WAIT_S) as viewer:
            viewer.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            received = b""
            while b"retry: 1000" not in received:
                received += viewer.recv(65536) or b"!"
                assert not received.endswith(b"!"), received
            event = '{"event":"slot","position":0,"port":"COM7<b>","location":"COM7"}'
            server.stdin.write("event " + event + "\n")
            server.stdin.flush()
            expected = b'data: {"event":"slot","position":0,"port":"COM7\\u003cb\\u003e"'
            while expected not in received:
                chunk = viewer.recv(65536)
                assert chunk, received
                received += chunk
        print("1 passed, 0 failed")
    finally:
        server.stdin.close()
        server.wait(timeout=WAIT_S)


if __name__ == "__main__":
    main()
