#!/usr/bin/env python3
"""The tool against a real Linux kernel: discovery, mode switch, unplugs and permissions on the
guest's own USB stack (dummy_hcd, configfs gadgets, cdc_acm, udevd with the project's rules).

One boot serves every scenario. By hand, from the repository, after ./dev build debug:

    python3 tests/kernel/test_kernel.py --tool build/debug/src/cli/iapflash            # all
    python3 tests/kernel/test_kernel.py --tool build/debug/src/cli/iapflash -k mode_switch

Exit status 77 (ctest: skipped) when QEMU or the Debian packages cannot be had; under CI (CI set)
that is a failure instead.
"""

import argparse
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


def prepare(tool, cache, workdir):
    """Fetches, builds and boots the bench; fills Bench."""
    kernel_rig.check_tools()
    images = {}
    files = []
    for name, size, seed in (("large", 102400, 1), ("small", 8192, 2)):
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
