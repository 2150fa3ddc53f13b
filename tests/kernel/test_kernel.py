#!/usr/bin/env python3
"""The tool against a real Linux kernel: discovery, mode switch, unplugs, permissions and the
station on the guest's own USB stack (dummy_hcd, configfs gadgets, cdc_acm, udevd with the
project's rules).

One boot serves every scenario. By hand, from the repository, after ./dev build debug:

    python3 tests/kernel/test_kernel.py --tool build/debug/src/cli/iapflash            # all
    python3 tests/kernel/test_kernel.py --tool build/debug/src/cli/iapflash -k mode_switch
    python3 tests/kernel/test_kernel.py --tool build/debug/src/cli/iapflash -k station

Exit status 77 (ctest: skipped) when QEMU or the Debian packages cannot be had; under CI (CI set)
that is a failure instead.
"""

import argparse
import base64
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_board  # noqa: E402
import kernel_rig  # noqa: E402

REPOSITORY = Path(__file__).resolve().parents[2]
SKIPPED = 77
BOARDS = 2
APPLICATION_PRODUCT = "1a02"  # any product ID of the maker's but the boot program's

FAILURE_SUMMARY = ("****固件下载失败!\n   1.检查通讯接口以及连线是否正确;\n"
                   "    2.MCU内有没有烧入IAP程序;\n    3.MCU有没有进入到IAP下载模式;\n")


class Bench:
    """What setUpModule made: the machine, its boards, the update files and their images."""
    machine = None
    boards = []
    tool = None
    images = {}


def make_update_file(tool, folder, name, size, seed):
    image = random.Random(seed).randbytes(size)
    (folder / (name + ".img")).write_bytes(image)
    subprocess.run([str(tool), "pack", str(folder / (name + ".img")), "-o",
                    str(folder / (name + ".bin"))], check=True, capture_output=True)
    return image, (folder / (name + ".bin")).read_bytes()


def log_pattern(lines):
    """A whole log as a regular expression: each line literal, except those given as re.Pattern."""
    return "".join((line.pattern if isinstance(line, re.Pattern) else re.escape(line)) + r"\n"
                   for line in lines)


def download_lines(size, port, switched_from=None):
    """The log of a successful download of `size` bytes through `port` after the scan line."""
    lines = ["", "****开始通过串口接口进行IAP下载:", "1.读取下载文件内容>>",
             "  已读取下载数据%d字节" % size, "2.打开下载接口>>"]
    if switched_from:
        # One dot after the request, one after each search that did not find it (at most 15).
        lines += ["    %s打开成功" % switched_from, "    开始切换至IAP模式",
                  re.compile(r"\.{1,16}" + re.escape("已切换,端口:" + port))]
    chunks = (size + 1023) // 1024
    lines += ["    %s打开成功" % port, "3.开始更新FLASH>>", re.compile(r"\.*  成功"),
              "4.写FLASH>>", "." * chunks + "  成功", "5.下载检验>>", "." * chunks + "  成功",
              "6.下载结束>>", "  END结束", "7.关闭下载接口>>", "    已关闭。", "****固件下载成功."]
    return lines


class GuestStation:
    """`iapflash station` running in the guest's background (slots by USB location, boards noticed
    through udev's monitor); its JSON lines read as they come."""

    FOLDER = "/tmp/station"

    def __init__(self, arguments):
        self.events = []
        self._read = 0
        self._pending = b""
        status, _, err = Bench.machine.cmd.run(
            "rm -rf {f}; mkdir {f}\n"
            "( iapflash station {args} > {f}/out.jsonl 2> {f}/err & echo $! > {f}/pid.new\n"
            "  mv {f}/pid.new {f}/pid; wait $!; echo $? > {f}/status.new\n"
            "  mv {f}/status.new {f}/status ) < /dev/null > /dev/null 2>&1 &\n"
            "while [ ! -e {f}/pid ]; do usleep 10000; done\n".format(f=self.FOLDER, args=arguments))
        if status != 0:
            raise kernel_rig.RigError("the station did not start: " + err)
        self.pid = int(self._guest("cat %s/pid" % self.FOLDER))

    def _guest(self, script):
        status, out, err = Bench.machine.cmd.run(script)
        if status != 0:
            raise kernel_rig.RigError("%s: %s" % (script, err))
        return out

    def poll(self):
        """Reads the lines written since the last look; returns every event so far."""
        chunk = Bench.machine.cmd.run("tail -c +%d %s/out.jsonl | base64 -w 0" %
                                      (self._read + 1, self.FOLDER))[1]
        data = base64.b64decode(chunk)
        self._read += len(data)
        lines = (self._pending + data).split(b"\n")
        self._pending = lines.pop()
        self.events += [json.loads(line) for line in lines]
        return self.events

    def wait_for(self, what, condition, timeout=60):
        """Reads the events until condition(events) holds."""
        deadline = time.monotonic() + timeout
        while not condition(self.poll()):
            if time.monotonic() > deadline:
                raise AssertionError("the station did not show %s within %d s; its events:\n%s" %
                                     (what, timeout, "\n".join(map(json.dumps, self.events))))
            time.sleep(0.1)

    def interrupt(self, timeout=30):
        """SIGINT, as Ctrl+C sends it; returns the exit status once the station has ended."""
        self._guest("kill -INT %d" % self.pid)
        deadline = time.monotonic() + timeout
        while Bench.machine.cmd.run("[ -e %s/status ]" % self.FOLDER)[0] != 0:
            if time.monotonic() > deadline:
                raise AssertionError("the station did not end within %d s of SIGINT" % timeout)
            time.sleep(0.1)
        self.poll()
        return int(self._guest("cat %s/status" % self.FOLDER))

    def stderr(self):
        return self._guest("cat %s/err" % self.FOLDER)

    def records(self):
        return self._guest("cat %s/records.jsonl" % self.FOLDER)

    def netlink_groups(self):
        """The udev netlink groups (as hex masks) the station's own sockets listen on."""
        listing = self._guest(
            "for fd in /proc/%d/fd/*; do readlink $fd; done; cat /proc/net/netlink" % self.pid)
        inodes = set(re.findall(r"^socket:\[(\d+)\]$", listing, re.M))
        groups = []
        for line in listing.splitlines():
            fields = line.split()
            # sk Eth Pid Groups Rmem Wmem Dump Locks Drops Inode; 15 is the kernel's uevent family.
            if len(fields) >= 10 and fields[1] == "15" and fields[9] in inodes:
                groups.append(fields[3])
        return groups

    def stop(self):
        """Ends a station that a failing test left running."""
        Bench.machine.cmd.run("kill -TERM %d 2> /dev/null; while [ ! -e %s/status ]; do "
                              "usleep 10000; done" % (self.pid, self.FOLDER), timeout=30)


class KernelBench(unittest.TestCase):
    def setUp(self):
        self.started = time.monotonic()
        for board in Bench.boards:
            board.remove()

    def tearDown(self):
        print("(%.1f s) " % (time.monotonic() - self.started), end="", file=sys.stderr, flush=True)
        for board in Bench.boards:
            board.check()

    def guest(self, script, status=0):
        result, out, err = Bench.machine.cmd.run(script)
        if status is not None:
            self.assertEqual(result, status, "%s\nstdout:\n%s\nstderr:\n%s" % (script, out, err))
        return out

    def tty_at(self, board, interface=0):
        """The name of the tty on `interface` of the device on board's port."""
        return self.guest("ls /sys/devices/platform/dummy_hcd.%d/usb*/*-1/*-1:1.%d/tty" %
                          (board, interface)).strip()

    # 1. The list, byte for byte.
    def test_list(self):
        one_port = [(0, APPLICATION_PRODUCT, 1)]
        two_ports = [(0, APPLICATION_PRODUCT, 2)]
        boot = [(0, bench_board.BOOT_PRODUCT, 1)]
        cases = [
            # A one-port device is both the serial port and the USB device node that carries it.
            ("one-port application", one_port,
             "已查找到2个设备\n Port0>> P0:ttyACM0,\n Port1>> P0:ttyACM0,\n"),
            ("two-port application", two_ports, "已查找到1个设备\n Port0>> P0:ttyACM0,P1:ttyACM1,\n"),
            ("boot program", boot,
             "已查找到2个设备\nIAP Port0>> P0:ttyACM0,\nIAP Port1>> P0:ttyACM0,\n"),
            ("two-port application and boot program", two_ports + [(1, bench_board.BOOT_PRODUCT, 1)],
             "已查找到3个设备\n Port0>> P0:ttyACM0,P1:ttyACM1,\nIAP Port1>> P0:ttyACM2,\n"
             "IAP Port2>> P0:ttyACM2,\n"),
            ("nothing", [], "已查找到0个设备\n"),
        ]
        for name, boards, expected in cases:
            with self.subTest(name):
                for board in Bench.boards:
                    board.remove()
                for number, product, ports in boards:
                    if product == bench_board.BOOT_PRODUCT:
                        Bench.boards[number].present_boot_program()
                    else:
                        Bench.boards[number].present_application(product, ports)
                self.assertEqual(self.guest("iapflash list"), expected)
                if boards == two_ports:
                    # The ports stand in the order of their interfaces (00, then 02).
                    self.assertEqual([self.tty_at(0, 0), self.tty_at(0, 2)], ["ttyACM0", "ttyACM1"])

    # 2. The mode switch: the application is asked, comes back as the boot program at the same
    # USB place, and is found there although another boot program is plugged in elsewhere.
    def test_mode_switch_and_download(self):
        other, target = Bench.boards
        other.present_boot_program()
        target.present_application(APPLICATION_PRODUCT, 2)
        listing = self.guest("iapflash list")
        self.assertEqual(listing, "已查找到3个设备\nIAP Port0>> P0:ttyACM0,\n"
                                  " Port1>> P0:ttyACM1,P1:ttyACM2,\nIAP Port2>> P0:ttyACM0,\n")

        output = self.guest("iapflash flash /bench/large.bin --device 1")

        port = self.tty_at(1)
        self.assertRegex(output, "^" + log_pattern(
            ["已查找到3个设备"] + download_lines(102400, port, switched_from="ttyACM1")) + "$")
        self.assertEqual(self.guest("cat /sys/devices/platform/dummy_hcd.1/usb*/*-1/idProduct"),
                         bench_board.BOOT_PRODUCT + "\n")
        self.assertEqual(target.requests, 1)
        self.assertEqual(other.requests, 0)
        self.assertEqual(target.starts, [1])
        self.assertEqual(other.starts, [0])
        self.assertEqual(target.end_boot_program(), Bench.images["large"])
        self.assertEqual(other.end_boot_program(), b"\xff" * bench_board.MEMORY_SIZE)

    # 3. Unplugged in the middle of the download: a clean failure, then a run after replugging.
    def test_unplug_mid_download(self):
        board = Bench.boards[0]
        board.present_boot_program()
        board.unplug_after(30000)  # in the middle of a program packet, a third of the way

        result, output, _ = Bench.machine.cmd.run("iapflash flash /bench/large.bin")

        partial = board.wait_unplugged()
        self.assertEqual(result, 1, output)
        # The device left while the tool awaited the reply to the packet it never got whole.
        failure = re.fullmatch(log_pattern(["已查找到2个设备"] + download_lines(102400, "ttyACM0")[:9]) +
                               r"(\.*)    串口读失败\.\n  Read status failure\.\[([0-9A-F]+)>32B\]\.\n"
                               r"  失败\.\n  下载失败\n7\.关闭下载接口>>\n    已关闭。\n" +
                               re.escape(FAILURE_SUMMARY), output)
        self.assertIsNotNone(failure, output)
        offset = int(failure.group(2), 16)
        self.assertEqual(len(failure.group(1)), offset // 1024)
        self.assertGreater(offset, 0)
        self.assertEqual(partial[:offset], Bench.images["large"][:offset])
        self.assertEqual(partial[offset:], b"\xff" * (bench_board.MEMORY_SIZE - offset))

        board.replug_boot_program()
        self.assertEqual(self.tty_at(0), "ttyACM0")  # the first run's port was given back
        output = self.guest("iapflash flash /bench/small.bin")
        self.assertRegex(output, "^" + log_pattern(
            ["已查找到2个设备"] + download_lines(len(Bench.images["small"]), "ttyACM0")) + "$")
        memory = board.end_boot_program()
        self.assertEqual(memory[:len(Bench.images["small"])], Bench.images["small"])
        self.assertEqual(board.starts[-2:], [1, 1])

    # 4. Permissions as the udev rules give them.
    def test_permissions(self):
        board = Bench.boards[0]
        board.present_boot_program()
        self.assertRegex(self.guest("ls -l /dev/ttyACM0"), r"^crw-rw---- +1 root +plugdev ")
        self.assertIn("ID_MM_DEVICE_IGNORE=1\n",
                      self.guest("udevadm info --query=property --name=/dev/ttyACM0"))

        listing = "已查找到2个设备\nIAP Port0>> P0:ttyACM0,\nIAP Port1>> P0:ttyACM0,\n"
        self.assertEqual(self.guest("su -s /bin/sh operator -c 'id -Gn; iapflash list'"),
                         "operator plugdev\n" + listing)
        result, output, _ = Bench.machine.cmd.run(
            "su -s /bin/sh visitor -c 'id -Gn; iapflash flash /bench/small.bin'")
        self.assertEqual(result, 1, output)
        self.assertEqual(output, "visitor\n" + listing.splitlines(True)[0] + "\n".join(
            download_lines(len(Bench.images["small"]), "ttyACM0")[:5]) + "\n"
            "    ttyACM0打开失败\n打开串口::Last Err(d)Permission denied\n  下载失败\n"
            "7.关闭下载接口>>\n    下载接口未打开，无需关闭\n" + FAILURE_SUMMARY)
        output = self.guest("su -s /bin/sh operator -c 'iapflash flash /bench/small.bin'")
        self.assertRegex(output, "^" + log_pattern(
            ["已查找到2个设备"] + download_lines(len(Bench.images["small"]), "ttyACM0")) + "$")
        memory = board.end_boot_program()
        self.assertEqual(memory[:len(Bench.images["small"])], Bench.images["small"])
        self.assertEqual(board.starts, [1])  # the refused open sent nothing

    # 5. The station: slots by USB location, boards noticed through udev's monitor, each board
    # flashed once per insertion, however long it stays plugged.
    def test_station(self):
        board, neighbour = Bench.boards  # board comes, goes and comes again; neighbour stays
        station = GuestStation("/bench/station.bin --records %s/records.jsonl --json" %
                               GuestStation.FOLDER)
        self.addCleanup(station.stop)
        station.wait_for("its start", lambda events: events)
        started = station.events[0]
        image = Bench.images["station"]
        self.assertEqual((started["event"], started["watch"], started["image"]),
                         ("station_started", "devices", {"path": "/bench/station.bin",
                                                         "length": len(image),
                                                         "checksum": sum(image) & 0xFFFFFFFF}))
        # It listens to udev's own events (group 2), not only to its look every quarter second.
        self.assertIn("00000002", station.netlink_groups())

        def of(kind, events):
            return [event for event in events if event["event"] == kind]

        neighbour.present_boot_program()
        board.present_application(APPLICATION_PRODUCT, 1)
        station.wait_for("both boards' results", lambda events: len(of("result", events)) >= 2)
        # The neighbour stays plugged from here to the end, through the board's leaving (longer
        # than a slot takes to count a board gone) and its second run: a station that lost and
        # found a board again would flash it a second time meanwhile.
        board.unplug()
        station.wait_for("the board leave", lambda events: of("board_left", events))
        board.replug_boot_program()  # as it was unplugged: in its boot program
        station.wait_for("the board's second result", lambda events: len(of("result", events)) >= 3)

        self.assertEqual(station.interrupt(), 130)
        self.assertEqual(station.stderr(), "iapflash: the station was interrupted by SIGINT\n")
        events = station.events
        self.assertEqual(events[-1], {"event": "summary", "elapsed": events[-1]["elapsed"],
                                      "devices": 3, "succeeded": 3, "failed": 0,
                                      "exit_status": 130})
        self.assertEqual({key: events[-2][key] for key in
                          ("event", "passed", "failed", "interrupted", "in_progress")},
                         {"event": "tallies", "passed": 3, "failed": 0, "interrupted": 0,
                          "in_progress": 0})

        # One slot per USB location; the board's two insertions in the same one.
        slots = of("slot", events)
        self.assertEqual(len(slots), 2, slots)
        self.assertNotEqual(slots[0]["location"], slots[1]["location"])
        arrivals = of("board_arrived", events)
        position = {arrival["serial"]: arrival["position"] for arrival in arrivals}
        self.assertEqual(sorted((a["serial"], a["position"], a["iap"]) for a in arrivals),
                         [("BENCH0", position["BENCH0"], False),
                          ("BENCH0", position["BENCH0"], True),
                          ("BENCH1", position["BENCH1"], True)])
        self.assertNotEqual(position["BENCH0"], position["BENCH1"])
        self.assertEqual(sorted(a["board"] for a in arrivals), [1, 2, 3])
        first = min(a["board"] for a in arrivals if a["serial"] == "BENCH0")
        self.assertEqual([(e["position"], e["board"], e["during_run"])
                          for e in of("board_left", events)],
                         [(position["BENCH0"], first, False)])
        results = of("result", events)
        self.assertEqual(sorted(r["position"] for r in results),
                         sorted([position["BENCH0"]] * 2 + [position["BENCH1"]]))
        self.assertTrue(all(r["success"] for r in results), results)
        self.assertEqual([e["position"] for e in of("mode_switch", events)
                          if e["stage"] == "found"], [position["BENCH0"]])

        # What the boards saw: one start command per insertion, the image byte-exact each time.
        self.assertEqual(board.requests, 1)
        board.end_boot_program()
        self.assertEqual(board.starts, [1, 1])
        self.assertEqual(neighbour.starts, [1])
        flashed = image + b"\xff" * (bench_board.MEMORY_SIZE - len(image))
        self.assertEqual(board.memories, [flashed, flashed])
        self.assertEqual(neighbour.end_boot_program(), flashed)

        # The records: one whole line per run, as the runs' own objects tell it.
        text = station.records()
        self.assertTrue(text.endswith("\n"), text)
        records = [json.loads(line) for line in text.splitlines()]
        self.assertEqual(sorted((r["slot"], r["board"], r["serial"]) for r in records),
                         sorted((a["position"], a["board"], a["serial"]) for a in arrivals))
        for record in records:
            self.assertEqual((record["result"], record["failed_step"], record["layer"],
                              record["message"]), ("success", None, None, None), record)
            self.assertEqual(record["location"], slots[record["slot"]]["location"])
            self.assertEqual(record["image"], started["image"])


def prepare(tool, cache, workdir):
    """Fetches, builds and boots the bench; fills Bench."""
    kernel_rig.check_tools()
    images = {}
    files = []
    # The station's image is short: its runs are on the scenario's path one after the other.
    for name, size, seed in (("large", 102400, 1), ("small", 8192, 2), ("station", 2048, 3)):
        image, update = make_update_file(tool, workdir, name, size, seed)
        images[name] = image
        files.append(("bench/%s.bin" % name, update))
    packages = kernel_rig.fetch(cache)
    initramfs = workdir / "initramfs.cpio"
    initramfs.write_bytes(kernel_rig.build_initramfs(
        packages, tool, REPOSITORY / "packaging/60-iapflash.rules", BOARDS, files))
    kernel = kernel_rig.kernel_image(packages)
    Bench.machine = kernel_rig.Machine(workdir, kernel, initramfs, BOARDS)
    Bench.boards = [bench_board.Board(Bench.machine, n, tool, workdir) for n in range(BOARDS)]
    Bench.tool = tool
    Bench.images = images
    uptime = Bench.machine.cmd.run("cut -d' ' -f1 /proc/uptime")[1].strip()
    print("kernel bench: %s booted to a settled udev in %.1f s (guest uptime %s s)" %
          (kernel.name, Bench.machine.boot_seconds, uptime), file=sys.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tool", required=True, type=Path, help="the iapflash binary")
    parser.add_argument("--cache", type=Path, default=REPOSITORY / "build/kernel-cache",
                        help="where the unpacked Debian packages are kept")
    parser.add_argument("--workdir", type=Path, help="QEMU's sockets and logs (default: temporary)")
    options, rest = parser.parse_known_args()
    options.cache.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="kernel-bench-") as temporary:
        workdir = options.workdir or Path(temporary)
        workdir.mkdir(parents=True, exist_ok=True)
        started = time.monotonic()
        try:
            prepare(options.tool.resolve(), options.cache, workdir)
        except kernel_rig.RigUnavailable as reason:
            if os.environ.get("CI"):
                print("kernel bench cannot run under CI: %s" % reason, file=sys.stderr)
                return 1
            print("kernel bench skipped: %s" % reason, file=sys.stderr)
            return SKIPPED
        try:
            program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
        finally:
            for board in Bench.boards:
                board.close()
            Bench.machine.stop()
            print("kernel bench: %.1f s in all" % (time.monotonic() - started), file=sys.stderr)
        return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
