"""A board on the bench, its firmware played on the host.

The guest presents the board as a USB gadget (guest/bench-gadget); its first serial function's
bytes arrive here over virtio-serial. As an application the board answers the mode-switch
request the way the simulated application firmware does and then re-enumerates as its boot
program at the same USB place; the boot program is `iapflash sim` on a pseudo-terminal, which
this relay feeds, and which writes its flash memory out when it ends.
"""

import os
import select
import signal
import subprocess
import threading
import time
import tty
from pathlib import Path

MODE_REQUEST = b"#K!Q%T&_BLD*907M"
MODE_REPLY = b"Enter?IAP?Mode"
BOOT_PRODUCT = "2c71"
START_CODE = 2
MEMORY_SIZE = 102400
# The application restarts into its boot program this long after its reply, as the firmware does.
RESTART_DELAY_S = 0.3


def _write_all(fd, data):
    while data:
        select.select([], [fd], [], 5)
        try:
            data = data[os.write(fd, data):]
        except BlockingIOError:
            continue


class Board:
    """Board `number`: gadget dummy_udc.<number>, virtio port board<number>."""

    def __init__(self, machine, number, tool, workdir):
        self._machine = machine
        self.number = number
        self._tool = tool
        self._workdir = Path(workdir)
        self._socket = machine.board_socket(number)
        self._socket.setblocking(False)
        self._lock = threading.Lock()
        self._mode = "absent"
        self._received = b""
        self._restart_at = None
        self._unplug_after = None
        self._boot_bytes = 0
        self._sim = None
        self._sim_fd = None
        self._sims = 0
        self.requests = 0
        self.starts = []  # start commands each boot program received, in order
        self._frames = b""
        self.memories = []  # the flash of each boot program that ended, in order
        self.error = None
        self._unplugged = threading.Event()
        self._wake_read, self._wake_write = os.pipe()
        self._stopping = False
        self._thread = threading.Thread(target=self._relay, daemon=True)
        self._thread.start()

    # What the tests do with the board.

    def present_application(self, product, ports):
        with self._lock:
            self._mode = "application"
            self._received = b""
        self._gadget("present %s %d" % (product, ports))

    def present_boot_program(self):
        self._start_sim()
        self._gadget("present %s 1" % BOOT_PRODUCT)

    def unplug_after(self, count):
        """Unplugs the boot program once it has received `count` bytes."""
        with self._lock:
            self._unplug_after = count
            self._unplugged.clear()
        self._wake()

    def wait_unplugged(self, timeout=60):
        """Waits for the unplug that unplug_after asked for; returns the boot program's memory."""
        if not self._unplugged.wait(timeout):
            raise RuntimeError("board %d was not unplugged" % self.number)
        return self.memories[-1]

    def replug_boot_program(self):
        """Plugs the boot program in again after an unplug: it starts afresh."""
        self._start_sim()
        self._gadget("plug")

    def unplug(self):
        """Takes the board off the bus now; its boot program, if it runs, ends (its flash goes to
        memories)."""
        with self._lock:
            self._mode = "unplugged"
            self._restart_at = None
        self._gadget("unplug")
        self._stop_sim()

    def remove(self):
        """Takes the board away and forgets what it saw."""
        self._gadget("remove")
        self._stop_sim()
        with self._lock:
            self._mode = "absent"
            self._unplug_after = None
            self._restart_at = None
            self.requests = 0
            self.starts = []
            self.memories = []

    def end_boot_program(self):
        """Ends the running boot program; returns its flash memory."""
        self._stop_sim()
        return self.memories[-1]

    def close(self):
        self._stopping = True
        self._wake()
        self._thread.join(5)
        self._stop_sim()
        self._socket.close()
        os.close(self._wake_read)
        os.close(self._wake_write)

    # The relay.

    def _gadget(self, command):
        status, _, err = self._machine.ctl.run("bench-gadget %d %s" % (self.number, command))
        if status != 0:
            raise RuntimeError("bench-gadget %d %s: %s" % (self.number, command, err.strip()))

    def _wake(self):
        os.write(self._wake_write, b"x")

    def _start_sim(self):
        self._stop_sim()  # a board has one boot program at a time
        with self._lock:
            self._sims += 1
            memory = self._workdir / ("board%d-sim%d.bin" % (self.number, self._sims))
            with open(self._workdir / ("board%d-sim.log" % self.number), "ab") as log:
                self._sim = subprocess.Popen([str(self._tool), "sim", "--memory", str(memory)],
                                             stdout=subprocess.PIPE, stderr=log)
            self._sim_memory = memory
            path = self._sim.stdout.readline().decode().strip()
            if not path.startswith("/dev/"):
                raise RuntimeError("iapflash sim printed no port")
            self._sim_fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            tty.setraw(self._sim_fd)
            self._mode = "boot"
            self._boot_bytes = 0
            self._frames = b""
            self.starts.append(0)
        self._wake()

    def _stop_sim(self):
        with self._lock:
            sim, self._sim = self._sim, None
            if self._sim_fd is not None:
                os.close(self._sim_fd)
                self._sim_fd = None
        if sim is None:
            return
        sim.send_signal(signal.SIGTERM)
        sim.wait(10)
        sim.stdout.close()
        self.memories.append(self._sim_memory.read_bytes())

    def _relay(self):
        try:
            while not self._stopping:
                with self._lock:
                    sim_fd = self._sim_fd
                    restart_at = self._restart_at
                timeout = None if restart_at is None else max(0.0, restart_at - time.monotonic())
                readable, _, _ = select.select(
                    [self._socket, self._wake_read] + ([sim_fd] if sim_fd is not None else []),
                    [], [], timeout)
                if self._wake_read in readable:
                    os.read(self._wake_read, 64)
                if restart_at is not None and time.monotonic() >= restart_at:
                    with self._lock:
                        self._restart_at = None
                    self._restart_into_boot_program()
                    continue
                if self._socket in readable:
                    data = self._socket.recv(65536)
                    if not data:
                        return
                    self._from_host(data)
                if sim_fd is not None and sim_fd in readable:
                    try:
                        data = os.read(sim_fd, 65536)
                    except OSError:
                        data = b""
                    if data:
                        self._socket.sendall(data)
        except Exception as error:  # reported by the tests through check()
            self.error = error

    def _from_host(self, data):
        with self._lock:
            mode = self._mode
        if mode == "application":
            self._received = (self._received + data)[-4096:]
            if MODE_REQUEST in self._received and self._restart_at is None:
                self._received = b""
                self.requests += 1
                self._socket.sendall(MODE_REPLY)
                with self._lock:
                    self._restart_at = time.monotonic() + RESTART_DELAY_S
        elif mode == "boot":
            with self._lock:
                limit = self._unplug_after
                fd = self._sim_fd
            if limit is not None and self._boot_bytes + len(data) >= limit:
                data = data[:limit - self._boot_bytes]
            self._boot_bytes += len(data)
            if data:
                _write_all(fd, data)
                self._count_starts(data)
            if limit is not None and self._boot_bytes >= limit:
                with self._lock:
                    self._mode = "unplugged"
                    self._unplug_after = None
                self._gadget("unplug")
                self._stop_sim()
                self._unplugged.set()

    def _count_starts(self, data):
        """Counts the start commands among the frames 0x57 0xAB code length ... checksum."""
        self._frames += data
        while len(self._frames) >= 4:
            if self._frames[:2] != b"\x57\xab":
                self._frames = self._frames[1:]
                continue
            size = 2 + 2 + self._frames[3] + 1
            if len(self._frames) < size:
                return
            if self._frames[2] == START_CODE:
                self.starts[-1] += 1
            self._frames = self._frames[size:]

    def _restart_into_boot_program(self):
        self._start_sim()
        self._gadget("boot")

    def check(self):
        if self.error is not None:
            raise self.error
