#!/usr/bin/env python3
"""The demo on a real kernel's KMS console: boots the Debian kernel fetched by
tests/vm/fetch-kernel.sh in QEMU with a virtio GPU, the host's root shared read-only,
runs the built demo on tty1 and checks the screen through QMP screendumps.

Cases: the automatic backend choice at the preferred 1280x800 mode, ended by a key;
DGL_MODE=1024x768, ended by SIGTERM; SIGINT and SIGHUP once the display is taken; a
missing asset (exit 255); a mode that is not listed (exit 255). After each, the
console's own picture must be back: the guest holds the card's render node open, so
the kernel's own restore at the card's last close cannot stand in for the program's.

Exit status 0 when every check passes, 1 when one fails, 77 (skipped) when QEMU, busybox
or the kernel is missing."""
import argparse
import json
import lzma
import os
import shutil
import socket
import subprocess
import sys
import threading
import time

SKIP = 77
MAGIC_XZ = b"\xfd7zXZ\x00"


def say(message):
    print(f"kms_vm: {message}", flush=True)


def skip(message):
    say(f"skipped: {message}")
    sys.exit(SKIP)


def find_kernel(cache):
    """The newest kernel folder in the cache: vmlinuz and a module tree."""
    found = []
    if os.path.isdir(cache):
        for version in os.listdir(cache):
            kdir = os.path.join(cache, version)
            if os.path.isfile(os.path.join(kdir, "vmlinuz")) and os.path.isfile(
                    os.path.join(kdir, "lib/modules", version, "modules.dep")):
                found.append(version)
    if not found:
        return None
    found.sort(key=lambda v: [int(p) if p.isdigit() else p for p in v.replace("-", ".").split(".")])
    return os.path.join(cache, found[-1])


def vmlinux(kdir):
    """The uncompressed kernel inside vmlinuz: it boots in half the time (PVH entry), as
    the emulated CPU then need not decompress it."""
    path = os.path.join(kdir, "vmlinux")
    if os.path.isfile(path):
        return path
    data = open(os.path.join(kdir, "vmlinuz"), "rb").read()
    start = data.find(MAGIC_XZ)
    while start >= 0:
        try:
            elf = lzma.LZMADecompressor().decompress(data[start:])
            if elf.startswith(b"\x7fELF"):
                with open(path + ".new", "wb") as f:
                    f.write(elf)
                os.replace(path + ".new", path)
                return path
        except lzma.LZMAError:
            pass
        start = data.find(MAGIC_XZ, start + 1)
    return os.path.join(kdir, "vmlinuz")


def initramfs(kdir, busybox, source, work):
    root = os.path.join(work, "initramfs")
    shutil.rmtree(root, ignore_errors=True)
    for d in ("bin", "proc", "sys", "dev", "host", "lib"):
        os.makedirs(os.path.join(root, d))
    shutil.copy(busybox, os.path.join(root, "bin/busybox"))
    shutil.copy(os.path.join(source, "tests/vm/init"), os.path.join(root, "init"))
    os.chmod(os.path.join(root, "init"), 0o755)
    shutil.copytree(os.path.join(kdir, "lib/modules"), os.path.join(root, "lib/modules"))
    image = os.path.join(work, "initramfs.cpio")
    names = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    with open(image, "wb") as out:
        subprocess.run([busybox, "cpio", "-o", "-H", "newc"], cwd=root, input=names,
                       stdout=out, stderr=subprocess.DEVNULL, check=True)
    return image


class Serial:
    """The guest's serial console: commands in, "@@" answers out, everything logged."""

    def __init__(self, process, log_path):
        self.process = process
        self.lines = []
        self.cond = threading.Condition()
        self.log = open(log_path, "w")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for raw in self.process.stdout:
            line = raw.decode(errors="replace").rstrip("\r\n")
            self.log.write(line + "\n")
            self.log.flush()
            with self.cond:
                self.lines.append(line)
                self.cond.notify_all()
        with self.cond:
            self.lines.append(None)
            self.cond.notify_all()

    def send(self, line):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()

    def wait(self, prefix, deadline):
        """The first line starting with prefix; None at the deadline or when QEMU ends."""
        seen = 0
        with self.cond:
            while True:
                for line in self.lines[seen:]:
                    if line is None:
                        return None
                    if line.startswith(prefix):
                        self.lines.remove(line)
                        return line
                seen = len(self.lines)
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)


class Qmp:
    def __init__(self, path, deadline):
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.file = self.sock.makefile("rwb")
        self.file.readline()
        self.call("qmp_capabilities")

    def call(self, command, **arguments):
        self.file.write(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
        self.file.flush()
        while True:
            reply = json.loads(self.file.readline())
            if "return" in reply:
                return reply["return"]
            if "error" in reply:
                raise RuntimeError(f"QMP {command}: {reply['error']}")


class Picture:
    def __init__(self, path):
        data = open(path, "rb").read()
        fields, at = [], 0
        while len(fields) < 4:
            while data[at:at + 1].isspace():
                at += 1
            end = at
            while not data[end:end + 1].isspace():
                end += 1
            fields.append(data[at:end])
            at = end
        assert fields[0] == b"P6" and fields[3] == b"255", "not a P6 PPM"
        self.width, self.height = int(fields[1]), int(fields[2])
        self.pixels = data[at + 1:at + 1 + self.width * self.height * 3]

    def row(self, y):
        return self.pixels[y * self.width * 3:(y + 1) * self.width * 3]

    def black_rows(self, first, last):
        """True when rows first..last (inclusive) are pure black."""
        block = self.pixels[first * self.width * 3:(last + 1) * self.width * 3]
        return block.count(0) == len(block)

    def filled_row(self, y):
        """True when no pixel of row y is black."""
        r = self.row(y)
        return all(r[x:x + 3] != b"\0\0\0" for x in range(0, len(r), 3))


class Machine:
    def __init__(self, args, kernel, image, work):
        self.work = work
        qmp_path = os.path.join(work, "qmp.sock")
        if os.path.exists(qmp_path):
            os.unlink(qmp_path)
        command = [
            args.qemu, "-nodefaults", "-no-reboot", "-accel", "tcg,thread=multi", "-cpu", "Nehalem",
            "-smp", "2", "-m", "1024", "-vga", "none", "-display", "none",
            "-device", "virtio-gpu-pci,xres=1280,yres=800",
            "-virtfs", "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap",
            "-virtfs", f"local,path={args.out},mount_tag=out,security_model=none",
            "-serial", "stdio", "-qmp", f"unix:{qmp_path},server=on,wait=off",
            "-kernel", kernel, "-initrd", image,
            "-append", "console=ttyS0 panic=-1 loglevel=3 consoleblank=0 vt.global_cursor_default=0 "
                       f"dgl_src={args.source} dgl_out={args.out}",
        ]
        self.started = time.monotonic()
        self.process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.STDOUT)
        self.serial = Serial(self.process, os.path.join(args.out, "serial.log"))
        self.qmp = Qmp(qmp_path, time.monotonic() + 30)
        self.shots = 0

    def screen(self):
        path = os.path.join(self.work, "screen.ppm")
        self.qmp.call("screendump", filename=path)
        self.shots += 1
        return Picture(path)

    def wait_screen(self, test, seconds):
        """The first screendump for which test(picture) holds; the last one and False at
        the deadline."""
        deadline = time.monotonic() + seconds
        while True:
            picture = self.screen()
            if test(picture):
                return picture, True
            if time.monotonic() > deadline:
                return picture, False
            time.sleep(0.25)

    def close(self):
        try:
            self.qmp.call("quit")
        except Exception:
            pass
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()


class Checks:
    def __init__(self):
        self.failed = 0

    def expect(self, ok, what):
        say(("ok:   " if ok else "FAIL: ") + what)
        if not ok:
            self.failed += 1
        return ok


def scroller_at(top, bottom):
    """The picture of the scroller (its face layer covers the whole target) in rows top to
    bottom, with black bars around it."""
    def test(p):
        return p.filled_row(top) and p.filled_row(bottom)
    return test


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="the build folder (demo and data/)")
    parser.add_argument("--source", default=os.path.dirname(os.path.dirname(here)), help="the source tree")
    parser.add_argument("--cache", default=os.environ.get("DGL_VM_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "quorvelt-vm"),
        help="where tests/vm/fetch-kernel.sh put the kernel")
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    args.source = os.path.abspath(args.source)
    demo = os.path.join(args.build, "demo")
    if not os.access(demo, os.X_OK):
        say(f"{demo} is not built")
        return 1

    args.qemu = shutil.which("qemu-system-x86_64")
    if not args.qemu:
        skip("qemu-system-x86_64 is missing (install qemu-system-x86)")
    busybox = next((b for b in ("/bin/busybox", shutil.which("busybox") or "") if os.path.isfile(b)), None)
    if not busybox:
        skip("busybox is missing (install busybox-static)")
    kdir = find_kernel(args.cache)
    if not kdir:
        skip(f"no kernel in {args.cache} (run tests/vm/fetch-kernel.sh)")

    args.out = os.path.join(args.build, "vm-run")
    shutil.rmtree(args.out, ignore_errors=True)
    os.makedirs(args.out)
    work = os.path.join(args.build, "vm-work")
    os.makedirs(work, exist_ok=True)
    kernel = vmlinux(kdir)
    image = initramfs(kdir, busybox, args.source, work)
    # A copy of the demo beside a data folder without one cover (and no data folder two
    # levels up, where the demo looks next).
    broken = os.path.join(args.out, "missing", "bin")
    os.makedirs(os.path.join(broken, "data"))
    shutil.copy(demo, broken)
    for name in os.listdir(os.path.join(args.build, "data")):
        if name != "cover4.ktx":
            os.symlink(os.path.join(args.build, "data", name), os.path.join(broken, "data", name))

    say(f"booting {os.path.basename(kdir)} ({os.path.basename(kernel)}) in QEMU, logs in {args.out}")
    check = Checks()
    vm = Machine(args, kernel, image, work)
    try:
        ready = vm.serial.wait("@@ready", time.monotonic() + 120)
        if not check.expect(ready is not None, "the guest came up"):
            return 1
        say(f"guest ready after {time.monotonic() - vm.started:.1f} s "
            f"(guest uptime {ready.split()[1]} s)")
        console = vm.screen()
        check.expect((console.width, console.height) == (1280, 800) and not console.black_rows(0, 799),
                     f"the console shows its text at 1280x800 (got {console.width}x{console.height})")

        def run(name, command, show=None, end=None, status=0, log_has=()):
            vm.serial.send(f"run {name} {command}")
            started = vm.serial.wait(f"@@started {name}", time.monotonic() + 30)
            t0 = time.monotonic()
            if end:
                _, changed = vm.wait_screen(lambda p: p.pixels != console.pixels, 60)
                check.expect(changed, f"{name}: the display was taken "
                                      f"({time.monotonic() - t0:.1f} s after the start)")
            if show:
                size, top, bottom = show
                picture, shown = vm.wait_screen(
                    lambda p: (p.width, p.height) == size and scroller_at(top, bottom)(p), 120)
                say(f"{name}: scroller on screen {time.monotonic() - t0:.1f} s after the start")
                w, h = size
                check.expect(shown and picture.black_rows(0, top - 1) and picture.black_rows(bottom + 1, h - 1),
                             f"{name}: at {w}x{h} the picture fills rows {top}-{bottom}, rows 0-{top - 1} "
                             f"and {bottom + 1}-{h - 1} black")
            if end == "key":
                vm.qmp.call("send-key", keys=[{"type": "qcode", "data": "spc"}])
            elif end:
                vm.serial.send(f"signal {name} {end}")
            ended = vm.serial.wait(f"@@exit {name}", time.monotonic() + 120)
            got = int(ended.split()[2]) if ended else None
            log = open(os.path.join(args.out, f"{name}.log"), errors="replace").read() if ended else ""
            check.expect(started is not None and got == status, f"{name}: exit status {got} (expected {status})")
            for text in log_has:
                check.expect(text in log, f"{name}: output has '{text}'")
            for line in log.splitlines():
                if line.startswith("kms:") or line.startswith("display:"):
                    say(f"{name}: {line}")
            _, back = vm.wait_screen(lambda p: p.width == console.width and p.pixels == console.pixels, 10)
            check.expect(back, f"{name}: the console's own picture is back")

        run("key", f"{demo} skip", show=((1280, 800), 40, 759), end="key")
        run("term", f"DGL_PLATFORM=kms DGL_MODE=1024x768 {demo} skip", show=((1024, 768), 96, 671), end="TERM")
        run("int", f"DGL_PLATFORM=kms {demo} skip", end="INT")
        run("hup", f"DGL_PLATFORM=kms {demo} skip", end="HUP")
        run("missing", f"DGL_PLATFORM=kms {broken}/demo skip", status=255,
            log_has=("): File not found 'cover4.ktx'.",))
        run("nomode", f"DGL_PLATFORM=kms DGL_MODE=1234x567 {demo}", status=255,
            log_has=("kms: DGL_MODE=1234x567 is not a mode of /dev/dri/card0; it has: 1280x800@",))
        vm.serial.send("quit")
    finally:
        vm.close()
        say(f"{vm.shots} screendumps, {time.monotonic() - vm.started:.1f} s in all")
    say("passed" if check.failed == 0 else f"{check.failed} check(s) failed; see {args.out}")
    return 0 if check.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
