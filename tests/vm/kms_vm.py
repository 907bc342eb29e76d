#!/usr/bin/env python3
"""The demo on a real kernel's KMS console: the kernel from scripts/vm-kernel.sh in QEMU with a
virtio GPU (a 4K screen behind a render-only vgem card0, as a Pi 4 or 5 on a TV), the host's root
shared read-only, the demo run on tty1 (tests/vm/guest.sh), the screen read through QMP
screendumps and the sound through the guest's HDA card. The runs and what each must show are in
battery() below; after each the console's own picture must be back. --kiosk boots the host's
root under its own systemd with the package's kiosk enabled (tests/vm/kiosk.sh); --arch arm64
runs the cross build on an emulated Cortex-A72 with the arm64 busybox as the guest's tools.
Exit status 0 when every check passes, 1 when one fails, 77 when QEMU, busybox or the kernel
is missing."""
import argparse, json, lzma, os, queue, re, shutil, socket, subprocess, sys, threading, time

# Every wait is for a state the guest or its screen reports; this only guards against a hang.
HANG = 600
ARCHES = {
    "amd64": dict(qemu="qemu-system-x86_64", package="qemu-system-x86", console="ttyS0", scale=1,
                  machine=["-cpu", "Nehalem", "-vga", "none"]),
    # No keyboard on the board itself: a virtio one, driven by the module in the initramfs.
    "arm64": dict(qemu="qemu-system-aarch64", package="qemu-system-arm", console="ttyAMA0", scale=5,
                  machine=["-M", "virt", "-cpu", "cortex-a72", "-device", "virtio-keyboard-pci"]),
}


def say(message):
    print(f"kms_vm: {message}", flush=True)


def find_kernel(cache, arch):
    """The newest cached kernel for arch: a folder with vmlinuz and its module tree."""
    found = sorted((v for v in (os.listdir(cache) if os.path.isdir(cache) else []) if v.endswith(f"-{arch}")
                    and os.path.isfile(f"{cache}/{v}/lib/modules/{v}/modules.dep") and os.path.isfile(f"{cache}/{v}/vmlinuz")),
                   key=lambda v: [int(p) if p.isdigit() else 0 for p in v.replace("-", ".").split(".")])
    return os.path.join(cache, found[-1]) if found else None


def vmlinux(kdir):
    """The uncompressed kernel inside vmlinuz, booted through its PVH entry: the emulated CPU
    then need not decompress it, which halves the boot."""
    path = os.path.join(kdir, "vmlinux")
    data = b"" if os.path.isfile(path) else open(os.path.join(kdir, "vmlinuz"), "rb").read()
    start = data.find(b"\xfd7zXZ\x00")
    while start >= 0:
        try:
            elf = lzma.LZMADecompressor().decompress(data[start:])
            if elf.startswith(b"\x7fELF"):
                open(f"{path}.{os.getpid()}", "wb").write(elf)
                os.replace(f"{path}.{os.getpid()}", path)
                break
        except lzma.LZMAError:
            pass
        start = data.find(b"\xfd7zXZ\x00", start + 1)
    return path if os.path.isfile(path) else os.path.join(kdir, "vmlinuz")


def initramfs(kdir, busybox, guest_busybox, source, work):
    root = os.path.join(work, "initramfs")
    shutil.rmtree(root, ignore_errors=True)
    for d in ("bin", "proc", "sys", "dev", "host"):
        os.makedirs(os.path.join(root, d))
    shutil.copy(guest_busybox, os.path.join(root, "bin/busybox"))
    shutil.copy(os.path.join(source, "tests/vm/init"), os.path.join(root, "init"))
    shutil.copytree(os.path.join(kdir, "lib"), os.path.join(root, "lib"))
    names = subprocess.run(["find", "."], cwd=root, capture_output=True, check=True).stdout
    with open(os.path.join(work, "initramfs.cpio"), "wb") as out:
        subprocess.run([busybox, "cpio", "-o", "-H", "newc"], cwd=root, input=names, stdout=out, stderr=subprocess.DEVNULL, check=True)
    return out.name


class Picture:
    """A QMP screendump (binary PPM as QEMU writes it)."""

    def __init__(self, path):
        magic, size, _, self.pixels = open(path, "rb").read().split(b"\n", 3)
        assert magic == b"P6", "not a PPM"
        self.width, self.height = map(int, size.split())

    def black(self, first, last):
        """Rows first to last (inclusive) are pure black."""
        block = self.pixels[first * self.width * 3:(last + 1) * self.width * 3]
        return block.count(0) == len(block)

    def filled(self, y):
        """No pixel of row y is black."""
        row = self.pixels[y * self.width * 3:(y + 1) * self.width * 3]
        return all(row[x:x + 3] != b"\0\0\0" for x in range(0, len(row), 3))


class Machine:
    def __init__(self, arch, qemu, kernel, image, source, out, work, guest_bin, extra=""):
        self.screen_path, qmp_path = os.path.join(work, "screen.ppm"), os.path.join(work, "qmp.sock")
        if os.path.exists(qmp_path):
            os.unlink(qmp_path)
        self.started, self.shots = time.monotonic(), 0
        self.process = subprocess.Popen([
            qemu, "-nodefaults", "-no-reboot", "-accel", "tcg,thread=multi", *ARCHES[arch]["machine"],
            "-smp", "2", "-m", "1024", "-display", "none", "-device", "virtio-gpu-pci,xres=3840,yres=2160",
            # A sound card with no sound server in the guest, at unity gain: what it plays lands in a WAV.
            "-audiodev", f"wav,id=card,path={out}/card.wav", "-device", "intel-hda", "-device", "hda-duplex,audiodev=card,mixer=off",
            "-virtfs", "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap",
            "-virtfs", f"local,path={out},mount_tag=out,security_model=none",
            "-serial", "stdio", "-qmp", f"unix:{qmp_path},server=on,wait=off", "-kernel", kernel, "-initrd", image, "-append",
            f"console={ARCHES[arch]['console']} panic=-1 loglevel=3 consoleblank=0 vt.global_cursor_default=0 "
            f"dgl_src={source} dgl_out={out}" + (f" dgl_bin={guest_bin}" if guest_bin else "") + extra],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.lines, self.unclaimed = queue.Queue(), []
        threading.Thread(target=self._read_serial, args=(open(os.path.join(out, "serial.log"), "w"),), daemon=True).start()
        while True:
            try:
                self.qmp = socket.socket(socket.AF_UNIX)
                self.qmp.connect(qmp_path)
                break
            except OSError:
                self.qmp.close()
                if self.process.poll() is not None or time.monotonic() - self.started > HANG:
                    raise
                time.sleep(0.05)
        self.qmp_file = self.qmp.makefile("rwb")
        self.qmp_file.readline()
        self.call("qmp_capabilities")

    def _read_serial(self, log):
        for raw in self.process.stdout:
            line = raw.decode(errors="replace").rstrip("\r\n")
            log.write(line + "\n")
            log.flush()
            self.lines.put(line)
        self.lines.put(None)

    def send(self, line):
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()

    def answer(self, prefix, seconds):
        """The guest's first line starting with prefix; None at the deadline or its end."""
        for line in self.unclaimed:
            if line.startswith(prefix):
                self.unclaimed.remove(line)
                return line
        deadline = time.monotonic() + seconds
        while True:
            try:
                line = self.lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                return None
            if line is None:
                self.lines.put(None)
                return None
            if line.startswith(prefix):
                return line
            self.unclaimed.append(line)

    def call(self, command, **arguments):
        self.qmp_file.write(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
        self.qmp_file.flush()
        while True:
            reply = json.loads(self.qmp_file.readline())
            if "return" in reply or "error" in reply:
                return reply

    def wait_screen(self, test, seconds):
        """The first screendump that passes test, and True; the last one and False at the deadline."""
        deadline = time.monotonic() + seconds
        while True:
            self.call("screendump", filename=self.screen_path)
            self.shots += 1
            picture = Picture(self.screen_path)
            if test(picture) or time.monotonic() > deadline:
                return picture, test(picture)
            time.sleep(0.25)

    def key(self):
        self.call("send-key", keys=[{"type": "qcode", "data": "spc"}])

    def close(self):
        try:
            self.call("quit")
            self.process.wait(10)
        except Exception:
            self.process.kill()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, help="the build folder (demo, data/)")
    parser.add_argument("--arch", choices=sorted(ARCHES), default="amd64", help="the guest's architecture, that of the build")
    parser.add_argument("--cache", default=os.environ.get("DGL_VM_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "quorvelt-vm"), help="where scripts/vm-kernel.sh put the kernel")
    parser.add_argument("--kiosk", action="store_true", help="boot the guest under systemd with the package's kiosk enabled instead")
    args = parser.parse_args()
    source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    build = os.path.abspath(args.build)
    demo = os.path.join(build, "demo")
    if not os.access(demo, os.X_OK):
        say(f"{demo} is not built")
        return 1
    arch = ARCHES[args.arch]
    scale, qemu = arch["scale"], shutil.which(arch["qemu"])
    busybox = "/bin/busybox" if os.path.isfile("/bin/busybox") else shutil.which("busybox")
    guest_busybox = busybox if args.arch == "amd64" else os.path.join(args.cache, f"busybox-{args.arch}")
    fetch = "scripts/vm-kernel.sh" + ("" if args.arch == "amd64" else f" {args.arch}")
    kdir = find_kernel(args.cache, args.arch)
    for found, what in ((qemu, f"{arch['qemu']} ({arch['package']})"), (busybox, "busybox (busybox-static)"),
                        (guest_busybox and os.path.isfile(guest_busybox), f"{guest_busybox} ({fetch})"),
                        (kdir, f"{args.arch} kernel in {args.cache} ({fetch})")):
        if not found:
            say(f"skipped: no {what}")
            return 77

    out, work = os.path.join(build, "vm-run"), os.path.join(build, "vm-work")
    shutil.rmtree(out, ignore_errors=True)
    # A copy of the demo beside a data folder without one cover, and none two levels up.
    broken = os.path.join(out, "missing", "bin")
    os.makedirs(os.path.join(broken, "data"))
    os.makedirs(work, exist_ok=True)
    shutil.copy(demo, broken)
    for name in set(os.listdir(os.path.join(build, "data"))) - {"cover4.ktx"}:
        os.symlink(os.path.join(build, "data", name), os.path.join(broken, "data", name))
    # The guest's home: ALSA's dmix at the show's 44100 Hz, as on a board, so nothing resamples.
    open(os.path.join(out, ".asoundrc"), "w").write("defaults.pcm.dmix.rate 44100\n")
    kernel = vmlinux(kdir) if args.arch == "amd64" else os.path.join(kdir, "vmlinuz")
    image = initramfs(kdir, busybox, guest_busybox, source, work)
    # The host's tools are of another architecture: the guest's are busybox's applets.
    guest_bin = None
    if guest_busybox != busybox:
        guest_bin = os.path.join(out, "bin")
        os.makedirs(guest_bin)
        shutil.copy(guest_busybox, os.path.join(guest_bin, "busybox"))
        applets = subprocess.run([busybox, "--list"], capture_output=True, text=True, check=True).stdout.split()
        for applet in set(applets) - {"busybox"}:
            os.symlink("busybox", os.path.join(guest_bin, applet))

    failures, card_wav, counted = [], os.path.join(out, "card.wav"), []

    def expect(ok, what):
        say(("ok:   " if ok else "FAIL: ") + what)
        if not ok:
            failures.append(what)

    def until(test, seconds):
        deadline = time.monotonic() + seconds
        while not test() and time.monotonic() < deadline:
            time.sleep(0.5)
        return test()

    def played_enough():
        """Ten seconds of sound have reached the guest's sound card."""
        try:
            return len(open(card_wav, "rb").read()[44:].lstrip(b"\0")) >= 10 * 44100 * 4
        except OSError:
            return False

    def came_up(what):
        """The guest's ready line (after what systemd says of its boot, if booted by it), or None."""
        ready = vm.answer("@@ready", HANG * scale)
        expect(ready is not None, what)
        if ready:
            say(f"{what} after {time.monotonic() - vm.started:.1f} s (guest uptime {ready.split()[1]} s) {' '.join(ready.split()[2:])}")
        return ready

    def kiosk():
        if not came_up("the guest booted under systemd"):
            return

        def state():
            vm.send("state")
            return (vm.answer("@@state", HANG) or "@@state none -1 none").split()[1:]
        # The show at 1920x1080 on the 4K screen, where the console was 3840x2160.
        show = lambda p: (p.width, p.height) == (1920, 1080) and not p.black(0, 1079)
        expect(vm.wait_screen(show, HANG * scale)[1], "the show on tty1's console at boot, nobody logged in")
        active, restarts, user = state()
        expect(active == "active" and user not in ("root", "none"), f"it runs as the unit's own user ({active}, {user})")
        expect(until(played_enough, HANG * scale), "ten seconds of its sound reached the guest's sound card")
        vm.key()
        expect(until(lambda: state()[:2] == ["active", str(int(restarts) + 1)], HANG * scale),
               f"a key on tty1 ends the run and systemd starts the next ({' '.join(state())})")
        expect(vm.wait_screen(show, HANG * scale)[1], "the next run shows the show")
        vm.send("stop")
        stopped = vm.answer("@@stopped", HANG)
        expect(stopped == "@@stopped 0 getty active", f"systemctl stop stops it, and tty1's login prompt is back ({stopped})")
        expect(vm.wait_screen(lambda p: (p.width, p.height) == (3840, 2160), HANG)[1], "tty1 is back at the console's own mode")
        vm.send("quit")
        vm.answer("@@journal", HANG)  # the boot's journal, in the results folder

    def battery():
        if not came_up("the guest came up"):
            return
        console, _ = vm.wait_screen(lambda p: True, 0)
        expect((console.width, console.height) == (3840, 2160) and not console.black(0, 2159),
               f"the console shows its text at 3840x2160 (got {console.width}x{console.height})")

        def start(name, command, terminal=True, taken=True):
            """A show started on tty1 (or without a terminal), once it has taken the display."""
            vm.send(f"{'run' if terminal else 'run-detached'} {name} {command}")
            started, t0 = vm.answer(f"@@started {name}", HANG), time.monotonic()
            if taken:
                _, shown = vm.wait_screen(lambda p: p.pixels != console.pixels, HANG * scale)
                expect(started and shown, f"{name}: the display taken {time.monotonic() - t0:.1f} s after the start")
            return t0

        def finish(name, end=None, status=0, output=(), back=True):
            """Ends a show by a key on tty1 or a signal; its status, output and the console after it."""
            if end == "key":
                vm.key()
            elif end:
                vm.send(f"signal {name} {end}")
            ended = vm.answer(f"@@exit {name}", HANG * scale)
            got = int(ended.split()[2]) if ended else None
            expect(ended and status in (None, got), f"{name}: exit status {got} (expected {'any' if status is None else status})")
            log = open(os.path.join(out, f"{name}.log"), errors="replace").read() if ended else ""
            for text in output:
                expect(text in log, f"{name}: the output has '{text}'")
            for line in log.splitlines():
                if line.startswith(("kms:", "display:")):
                    say(f"{name}: {line}")
            if back:
                _, back = vm.wait_screen(lambda p: p.width == console.width and p.pixels == console.pixels, HANG)
                expect(back, f"{name}: the console's own picture is back")
            return log

        def run(name, command, end=None, bars=None, wait_for=None, terminal=True, **ending):
            t0 = start(name, command, terminal, taken=bool(end))
            if bars:  # the scroller's face layer covers the whole target: its first and last rows are the picture's edges
                w, h, top, bottom = bars
                p, _ = vm.wait_screen(lambda p: (p.width, p.height) == (w, h) and p.filled(top) and p.filled(bottom), HANG * scale)
                expect((p.width, p.height) == (w, h) and p.filled(top) and p.filled(bottom) and p.black(0, top - 1) and p.black(bottom + 1, h - 1),
                       f"{name}: at {w}x{h} the picture fills rows {top}-{bottom}, rows 0-{top - 1} and {bottom + 1}-{h - 1} black "
                       f"({time.monotonic() - t0:.1f} s after the start)")
            if wait_for:
                expect(until(wait_for[1], HANG * scale), f"{name}: {wait_for[0]}")
            return finish(name, end, **ending)

        kms = "DGL_PLATFORM=kms"
        run("key", f"{demo} skip", end="key", bars=(1920, 1080, 0, 1079),
            output=("display: kms draws with a software renderer (llvmpipe", "at 1920x1080@60 on /dev/dri/card1"))
        # The sound through the kernel's HDA driver, no sound server (SDL's own choice finds
        # only ALSA's server plugins), until ten seconds of the module have played; its writer
        # stalled once past ALSA's buffer, an underrun whose silence the show must count.
        sound_log = run("sound", f"SDL_AUDIODRIVER= DGL_FAULT_OUTPUT_STALL_MS=500 {kms} DGL_MODE=640x480@60 LP_NUM_THREADS=1 {demo} skip",
                        end="key", wait_for=("ten seconds reached the guest's sound card", played_enough))
        expect("dummy driver" not in sound_log, "sound: played through the card, not the silent driver")
        counted.extend(re.findall(r"fell behind the sound device \(([0-9.]+) s", sound_log))
        say(f"sound: {sound_log.count('underrun occurred')} underrun(s) reported by ALSA in the guest")
        # As a service starts it: no terminal, /dev/null for input, which is no key.
        run("term", f"{kms} DGL_MODE=1024x768@60 {demo} skip", end="TERM", bars=(1024, 768, 96, 671),
            terminal=False, output=("input: standard input is not a terminal",))
        run("int", f"{kms} {demo} skip", end="INT")
        run("hup", f"{kms} DGL_DRM_DEVICE=/dev/dri/card1 {demo} skip", end="HUP")
        start("holder", f"{kms} {demo} skip")
        run("second", f"{kms} {demo} skip", status=255, back=False,
            output=("kms: /dev/dri/card1: not DRM master, another program (a desktop?) holds the display",))
        finish("holder", end="TERM")
        run("noflips", f"{kms} DGL_FAULT_DROP_FLIP_EVENTS=1 {demo} skip", end="key", bars=(1920, 1080, 0, 1079),
            output=("kms: a page flip on /dev/dri/card1 did not complete within 1000 ms",))
        run("missing", f"{kms} {broken}/demo skip", status=255, output=("ERROR: ../source/file_io.cpp(", "): File not found 'cover4.ktx'."))
        run("nomode", f"{kms} DGL_MODE=1234x567 {demo}", status=255,
            output=("kms: DGL_MODE=1234x567 is not a mode of /dev/dri/card1; it has: 3840x2160@",))
        run("nocard", f"{kms} DGL_DRM_DEVICE=/dev/dri/card7 {demo}", status=255,
            output=("kms: cannot open /dev/dri/card7: No such file or directory",))
        # kill -9 runs no handler: the kernel restores the console when the card's last
        # descriptor closes, which needs the guest's hold released and nothing of the show left.
        vm.send("release")
        run("killed", f"{kms} {demo} skip", end="KILL", status=None)
        vm.send("cardusers")
        users = vm.answer("@@cardusers", HANG)
        expect(users == "@@cardusers 0", f"killed: nothing holds the card afterwards ({users})")
        vm.send("quit")

    if args.kiosk:  # the package as a user installs it, made by cpack from this build
        made = subprocess.run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", work], capture_output=True, text=True)
        debs = [f for f in os.listdir(work) if f.endswith(".deb")] if made.returncode == 0 else []
        if not debs:
            say(f"FAIL: cpack made no package: {made.stdout[-2000:]}{made.stderr[-2000:]}")
            return 1
        shutil.move(os.path.join(work, debs[0]), os.path.join(out, "quorvelt.deb"))
    say(f"booting {os.path.basename(kdir)} ({os.path.basename(kernel)}), logs in {out}")
    vm = Machine(args.arch, qemu, kernel, image, source, out, work, guest_bin,
                 " dgl_boot=systemd quiet systemd.show_status=false" if args.kiosk else "")
    try:
        (kiosk if args.kiosk else battery)()
    finally:
        vm.close()
        say(f"{vm.shots} screendumps, {time.monotonic() - vm.started:.1f} s in all")
    if failures and failures[0].startswith("the guest"):
        return 1
    # What the card played against demo-capture's mix of the same sequence (the kiosk plays the
    # whole show, the battery the scroller), made by the guest's own build (through qemu-user on
    # arm64): the same samples in order, the emulated machine's underruns (jumps, unmatched
    # blocks) counted, not failed.
    mix = os.path.join(out, "mix.wav")
    emulator = {"arm64": ["qemu-aarch64", "-L", "/"]}.get(args.arch, [])
    capture = subprocess.run(emulator + [os.path.join(build, "demo-capture"), "--wav", mix, "--to", "20"] + ([] if args.kiosk else ["--skip-carousel"]),
                             capture_output=True, text=True, env=dict(os.environ, DGL_PLATFORM="headless", MESA_GLES_VERSION_OVERRIDE="2.0"))
    compared = subprocess.run([sys.executable, os.path.join(source, "tests/sound_walk.py"), "--max-jumps", "-1", "--max-wrong", "-1",
                               "--max-lead-in-s", "-1", card_wav, mix], capture_output=True, text=True)
    try:
        figures = json.loads(compared.stdout)
    except ValueError:
        figures = {}
    say(f"sound: the card against demo-capture's mix: {figures or compared.stderr.strip() or capture.stderr.strip()}")
    # The kiosk's card holds two runs, the second from the start again: its pitch over the walk means nothing.
    expect(figures.get("matched_s", 0) >= 5 and (args.kiosk or abs(figures.get("pitch_ratio", 0) - 1) < 0.02),
           "sound: at least 5 s of the card's sound is the mix, sample for sample, at its pitch")
    if not args.kiosk:
        expect(len(counted) == 1 and figures.get("gaps", 0) >= 1 and abs(float(counted[0]) - figures["gap_s"]) < 0.03,
               f"sound: the underrun's silence on the card ({figures.get('gap_s')} s) counted by the show, once ({counted} s)")
    say("passed" if not failures else f"{len(failures)} check(s) failed; logs in {out}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
