"""What the station page's tests share: a free loopback port, and waiting for the page."""
import socket
import time


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_until_listening(port, station, wait_s):
    """Returns once the station accepts on `port`; exits failed (with its stderr when it ended)
    if it ends first or `wait_s` seconds pass."""
    deadline = time.monotonic() + wait_s
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if station.poll() is not None:
                raise SystemExit("FAILED: the station's page never listened: the station ended: %s"
                                 % station.stderr.read())
            if time.monotonic() > deadline:
                raise SystemExit("FAILED: the station's page never listened (still running)")
            time.sleep(0.05)
