"""A Debian kernel under QEMU with the guest's own USB stack: fetching the packages, building the
initramfs, booting it and running shell scripts in it.

The guest's dummy host controller carries USB gadgets (configfs) that the guest's cdc_acm driver
and udevd (with packaging/60-iapflash.rules) see as real devices; each gadget's serial function is
relayed over virtio-serial to the host, where the tests play the device's firmware.
"""

import base64
import lzma
import os
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Modules the bench needs (with everything they depend on), and the options each is loaded with.
MODULES = {
    "virtio_pci": "",
    "virtio_console": "",
    "configfs": "",
    "cdc_acm": "",
    "libcomposite": "",
    "usb_f_acm": "",
    # One host controller and port per board.
    "dummy_hcd": "num={boards}",
}
# Where they live in the kernel package: only these trees are unpacked.
MODULE_TREES = ("drivers/usb/", "drivers/virtio/", "drivers/char/virtio_console.ko", "fs/configfs/")
OTHER_PACKAGES = ("udev", "libkmod2")

# Users of the bench: one in plugdev, one not.
PASSWD = """root:x:0:0:root:/root:/bin/sh
operator:x:1000:1000:Operator:/tmp:/bin/sh
visitor:x:1001:1001:Visitor:/tmp:/bin/sh
"""
GROUP = """root:x:0:
tty:x:5:
disk:x:6:
dialout:x:20:
audio:x:29:
video:x:44:
plugdev:x:46:operator
kvm:x:104:
render:x:105:
input:x:106:
sgx:x:107:
operator:x:1000:
visitor:x:1001:
"""


class RigUnavailable(Exception):
    """QEMU or the packages cannot be had on this machine."""


class RigError(Exception):
    """The bench itself failed (boot, guest command, protocol)."""


def _run(args, **kwargs):
    return subprocess.run(args, check=False, capture_output=True, text=True, **kwargs)


def check_tools():
    """Raises RigUnavailable when a program the bench needs is missing."""
    for program, package in (("qemu-system-x86_64", "qemu-system-x86"),
                             ("busybox", "busybox-static"), ("apt-get", "apt"),
                             ("dpkg-deb", "dpkg"), ("ldd", "libc-bin"), ("tar", "tar")):
        if shutil.which(program) is None:
            raise RigUnavailable("%s is missing (Debian package %s)" % (program, package))


def kernel_package():
    """The name of the kernel package that linux-image-amd64 depends on."""

    def ask():
        result = _run(["apt-cache", "depends", "linux-image-amd64"])
        for line in result.stdout.splitlines():
            kind, _, name = line.strip().partition(": ")
            if kind == "Depends" and name.startswith("linux-image-"):
                return name
        return None

    if shutil.which("apt-cache") is None:
        raise RigUnavailable("apt-cache is missing: not a Debian machine")
    name = ask()
    if name is None and os.geteuid() == 0:
        _run(["apt-get", "update"])
        name = ask()
    if name is None:
        raise RigUnavailable("apt-cache knows no package behind linux-image-amd64 "
                             "(run apt-get update)")
    return name


def _download(packages, folder):
    result = _run(["apt-get", "download", *packages], cwd=folder)
    if result.returncode != 0 and os.geteuid() == 0:
        _run(["apt-get", "update"])
        result = _run(["apt-get", "download", *packages], cwd=folder)
    if result.returncode != 0:
        raise RigUnavailable("apt-get download %s failed: %s" %
                             (" ".join(packages), result.stderr.strip()))


def _unpack(deb, into, members=None):
    """Unpacks a .deb into `into`; with members, only the paths that start with one of them."""
    tar = ["tar", "-x", "-C", str(into), "--wildcards"]
    tar += [m for m in members] if members else []
    dpkg = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", str(deb)], stdout=subprocess.PIPE)
    result = subprocess.run(tar, stdin=dpkg.stdout, capture_output=True, text=True, check=False)
    dpkg.stdout.close()
    if dpkg.wait() != 0 or result.returncode != 0:
        raise RigError("cannot unpack %s: %s" % (deb, result.stderr.strip()))


def fetch(cache):
    """Downloads and unpacks the kernel, udev and libkmod2 into cache/<kernel package>/ once;
    returns that folder."""
    name = kernel_package()
    root = Path(cache) / name
    done = root / "unpacked"
    if done.exists():
        return root
    if root.exists():
        shutil.rmtree(root)
    root.mkdir(parents=True)
    with tempfile.TemporaryDirectory(dir=cache) as downloads:
        _download([name, *OTHER_PACKAGES], downloads)
        for deb in sorted(Path(downloads).glob("*.deb")):
            if deb.name.startswith(name + "_"):
                _unpack(deb, root, ["./boot/vmlinuz-*"] +
                        ["./lib/modules/*/kernel/" + tree + ("*" if tree.endswith("/") else "")
                         for tree in MODULE_TREES])
            else:
                _unpack(deb, root)
    done.write_text(name + "\n")
    return root


def kernel_image(packages):
    """The kernel to boot: the package's vmlinuz unpacked once to its ELF image, which QEMU enters
    at its PVH entry point without the real-mode setup and the decompression (about 10 s under
    emulation); the vmlinuz itself when it holds no XZ-compressed ELF image."""
    vmlinuz = next((packages / "boot").glob("vmlinuz-*"))
    vmlinux = packages / ("vmlinux" + vmlinuz.name[len("vmlinuz"):])
    if vmlinux.exists():
        return vmlinux
    data = vmlinuz.read_bytes()
    start = data.find(b"\xfd7zXZ\x00")
    if start < 0:
        return vmlinuz
    try:
        image = lzma.LZMADecompressor().decompress(data[start:])
    except lzma.LZMAError:
        return vmlinuz
    if not image.startswith(b"\x7fELF"):
        return vmlinuz
    partial = vmlinux.parent / (vmlinux.name + ".partial")
    partial.write_bytes(image)
    partial.rename(vmlinux)
    return vmlinux


def _module_name(path):
    """A module's name from its file: cdc-acm.ko and cdc-acm.ko.xz are cdc_acm."""
    return path.name.split(".ko")[0].replace("-", "_")


def module_bytes(path):
    """A module's ELF image; a module the package ships compressed (.ko.xz) is unpacked here, so
    busybox's insmod in the guest takes it as it is."""
    data = path.read_bytes()
    return lzma.decompress(data) if path.name.endswith(".xz") else data


def _modinfo(path):
    """The .modinfo section of a kernel module, as a dict."""
    data = module_bytes(path)
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)

    def section(index):
        name, _type, _flags, _addr, offset, size = struct.unpack_from(
            "<IIQQQQ", data, shoff + index * shentsize)
        return name, offset, size

    _, names_at, _ = section(shstrndx)
    for index in range(shnum):
        name, offset, size = section(index)
        if data[names_at + name:data.index(b"\0", names_at + name)] == b".modinfo":
            fields = {}
            for entry in data[offset:offset + size].split(b"\0"):
                key, _, value = entry.decode(errors="replace").partition("=")
                if key:
                    fields[key] = value
            return fields
    return {}


def module_load_order(modules_root, wanted):
    """Paths of the wanted modules and their dependencies, relative to modules_root, each after
    everything it depends on."""
    by_name = {}
    for path in list(modules_root.rglob("*.ko")) + list(modules_root.rglob("*.ko.xz")):
        by_name[_module_name(path)] = path
    order = []

    def visit(name, chain):
        key = name.replace("-", "_")
        if key in chain:
            raise RigError("module dependency cycle at " + name)
        if key not in by_name:
            raise RigError("module %s is not in the kernel package's unpacked trees" % name)
        path = by_name[key]
        if path in order:
            return
        for dependency in filter(None, _modinfo(path).get("depends", "").split(",")):
            visit(dependency, chain + [key])
        order.append(path)

    for name in wanted:
        visit(name, [])
    return [path.relative_to(modules_root) for path in order]


def _shared_libraries(binary):
    result = _run(["ldd", str(binary)])
    if result.returncode != 0:
        raise RigError("ldd %s: %s" % (binary, result.stderr.strip()))
    paths = []
    for line in result.stdout.splitlines():
        parts = line.split()
        if "=>" in parts:
            target = parts[parts.index("=>") + 1]
            if target == "not":
                raise RigError("%s needs a missing library: %s" % (binary, line.strip()))
            paths.append(target)
        elif parts and parts[0].startswith("/"):
            paths.append(parts[0])
    return paths


class Cpio:
    """An initramfs in the newc format, uncompressed."""

    def __init__(self):
        self._data = bytearray()
        self._inode = 1
        self._dirs = set()

    def _entry(self, name, mode, body=b"", rdev=(0, 0)):
        header = "070701" + "".join("%08X" % v for v in (
            self._inode, mode, 0, 0, 1, 0, len(body), 0, 0, rdev[0], rdev[1],
            len(name) + 1, 0))
        self._inode += 1
        self._data += header.encode() + name.encode() + b"\0"
        self._data += b"\0" * (-len(self._data) % 4)
        self._data += body
        self._data += b"\0" * (-len(self._data) % 4)

    def directory(self, path):
        path = path.strip("/")
        if not path or path in self._dirs:
            return
        self.directory(os.path.dirname(path))
        self._dirs.add(path)
        self._entry(path, 0o40755)

    def file(self, path, body, mode=0o644):
        path = path.strip("/")
        self.directory(os.path.dirname(path))
        self._entry(path, 0o100000 | mode, body)

    def symlink(self, path, target):
        path = path.strip("/")
        self.directory(os.path.dirname(path))
        self._entry(path, 0o120777, target.encode())

    def device(self, path, major, minor):
        path = path.strip("/")
        self.directory(os.path.dirname(path))
        self._entry(path, 0o20600, rdev=(major, minor))

    def finish(self):
        self._entry("TRAILER!!!", 0)
        return bytes(self._data)


def build_initramfs(packages, tool, rules, boards, extra_files=()):
    """The bench's initramfs: busybox, the modules, udevd with the default rules and the
    project's, the tool with its libraries, the guest's scripts and extra (path, bytes) files."""
    image = Cpio()
    # A merged /usr, as on the machines the tool ships for.
    for top in ("bin", "sbin", "lib", "lib64"):
        image.symlink(top, "usr/" + top)
    image.device("dev/console", 5, 1)
    for folder in ("proc", "sys", "dev", "run", "tmp", "root", "etc/udev/rules.d"):
        image.directory(folder)

    busybox = shutil.which("busybox")
    image.file("usr/bin/busybox", Path(busybox).read_bytes(), 0o755)
    image.symlink("usr/bin/sh", "busybox")

    modules_root = next((packages / "lib/modules").iterdir())
    order = module_load_order(modules_root / "kernel", MODULES)
    listing = []
    for path in order:
        name = str(path).removesuffix(".xz")
        image.file("usr/lib/modules/" + name, module_bytes(modules_root / "kernel" / path))
        options = MODULES.get(_module_name(path), "").format(boards=boards)
        listing.append((name + " " + options).strip())
    image.file("etc/bench/modules", ("\n".join(listing) + "\n").encode())

    udevd = packages / "lib/systemd/systemd-udevd"
    image.file("usr/lib/systemd/systemd-udevd", udevd.read_bytes(), 0o755)
    image.file("usr/bin/udevadm", (packages / "bin/udevadm").read_bytes(), 0o755)
    for rule in sorted((packages / "lib/udev/rules.d").glob("*.rules")):
        image.file("usr/lib/udev/rules.d/" + rule.name, rule.read_bytes())
    image.file("usr/lib/udev/rules.d/" + rules.name, rules.read_bytes())
    # The fetched libkmod comes first; the rest as the host resolves them.
    libraries = {}
    for library in sorted((packages / "usr/lib/x86_64-linux-gnu").glob("libkmod.so*")):
        libraries["/usr/lib/x86_64-linux-gnu/" + library.name] = library.resolve()
    for binary in (udevd, tool):
        for path in _shared_libraries(binary):
            name = "/usr/lib/x86_64-linux-gnu/" + Path(path).name
            if path.startswith("/lib64/"):
                name = "/usr" + path
            libraries.setdefault(name, Path(path).resolve())
    for name, source in libraries.items():
        image.file(name, source.read_bytes(), 0o755)

    image.file("usr/bin/iapflash", Path(tool).read_bytes(), 0o755)
    image.file("init", (HERE / "guest/init").read_bytes(), 0o755)
    for script in ("bench-agent", "bench-gadget", "bench-relay"):
        image.file("usr/bin/" + script, (HERE / "guest" / script).read_bytes(), 0o755)
    image.file("etc/passwd", PASSWD.encode())
    image.file("etc/group", GROUP.encode())
    for path, body in extra_files:
        image.file(path, body)
    return image.finish()


class Channel:
    """One of the guest's command agents over a virtio port: runs a shell script there and
    returns (status, stdout, stderr). Thread-safe: one script at a time."""

    def __init__(self, path, timeout, log):
        self._socket = _connect(path, timeout)
        self._buffer = b""
        self._lock = threading.Lock()
        self._log = log

    def run(self, script, timeout=120):
        with self._lock:
            self._socket.sendall(base64.b64encode(script.encode()) + b"\n")
            line = self._read_line(timeout)
            fields = (line.split(b" ") + [b"", b""])[:3]
            status = int(fields[0])
            out, err = (base64.b64decode(field).decode() for field in fields[1:])
            with open(self._log, "a", encoding="utf-8") as log:
                log.write("$ %s\n%s%s[status %d]\n" % (script, out, err, status))
        return status, out, err

    def _read_line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise RigError("the guest did not answer within %d s" % timeout)
            self._socket.settimeout(left)
            try:
                data = self._socket.recv(65536)
            except socket.timeout:
                continue
            if not data:
                raise RigError("the guest closed its command port")
            self._buffer += data
        line, _, self._buffer = self._buffer.partition(b"\n")
        return line

    def close(self):
        self._socket.close()


def _connect(path, timeout):
    deadline = time.monotonic() + timeout
    while True:
        try:
            connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            connection.connect(str(path))
            return connection
        except (FileNotFoundError, ConnectionRefusedError):
            connection.close()
            if time.monotonic() > deadline:
                raise RigError("QEMU did not open %s" % path)
            time.sleep(0.05)


class Machine:
    """A booted guest: `cmd` runs the tests' commands, `ctl` drives the gadgets while a command
    runs, board_socket(n) is board n's serial line."""

    def __init__(self, workdir, kernel, initramfs, boards, boot_timeout=180):
        self.workdir = Path(workdir)
        self.console = self.workdir / "console.log"
        qemu = shutil.which("qemu-system-x86_64")
        sockets = ["cmd", "ctl"] + ["board%d" % n for n in range(boards)]
        # A socket's path has at most 107 bytes: they live in a short folder of their own.
        self._sockets = Path(tempfile.mkdtemp(prefix="kernel-bench-"))
        args = [qemu, "-nodefaults", "-no-user-config", "-machine", "pc", "-accel", "tcg",
                "-cpu", "max", "-smp", "1", "-m", "768", "-display", "none", "-no-reboot",
                "-kernel", str(kernel), "-initrd", str(initramfs),
                "-append", "console=ttyS0 quiet loglevel=4 panic=-1 mitigations=off",
                "-serial", "file:" + str(self.console), "-monitor", "none",
                "-device", "virtio-serial-pci,max_ports=%d" % (len(sockets) + 1)]
        for name in sockets:
            args += ["-chardev", "socket,id=%s,path=%s,server=on,wait=off" %
                     (name, self._sockets / (name + ".sock")),
                     "-device", "virtserialport,chardev=%s,name=%s" % (name, name)]
        for log in ("cmd.log", "ctl.log"):
            (self.workdir / log).unlink(missing_ok=True)
        with open(self.workdir / "qemu.log", "wb") as log:
            self._qemu = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=log,
                                          stderr=subprocess.STDOUT)
        try:
            # Every script and its output, for a look after a failure.
            self.cmd = Channel(self._sockets / "cmd.sock", 30, self.workdir / "cmd.log")
            self.ctl = Channel(self._sockets / "ctl.sock", 30, self.workdir / "ctl.log")
            self._boards = [_connect(self._sockets / ("board%d.sock" % n), 30)
                            for n in range(boards)]
            started = time.monotonic()
            status, _, err = self.cmd.run("udevadm settle", timeout=boot_timeout)
            self.boot_seconds = time.monotonic() - started
            if status != 0:
                raise RigError("udev did not settle: " + err)
        except BaseException as error:
            self.stop()
            raise RigError("the bench did not boot: %s\nthe guest's console ended with:\n%s" %
                           (error, self.console_tail())) from error

    def console_tail(self, lines=30):
        try:
            text = self.console.read_text(errors="replace")
        except OSError:
            return "(no console log)"
        return "\n".join(text.splitlines()[-lines:])

    def board_socket(self, number):
        return self._boards[number]

    def stop(self):
        for channel in ("cmd", "ctl"):
            if hasattr(self, channel):
                getattr(self, channel).close()
        if self._qemu.poll() is None:
            self._qemu.terminate()
            try:
                self._qemu.wait(10)
            except subprocess.TimeoutExpired:
                self._qemu.kill()
                self._qemu.wait()
        shutil.rmtree(self._sockets, ignore_errors=True)
