#!/usr/bin/env python3
"""The whole show compiled by a Raspberry Pi's own GL driver (Mesa's vc4 for the Pi 0 to 3,
v3d for the Pi 4 and 5) on its noop DRM shim, through demo-shaderdb:

- every program the show draws is compiled at draw time by the driver, none lost to
  register allocation (vc4 then skips the draw without an error), none spilling on v3d;
- no program is compiled again after the first frame it is drawn in, except at the start
  of a sequence: a compile mid-show is a visible hitch on a Pi;
- the fragment and vertex counts stay within 10% of tools/pi-gpu/counts.txt, and threads
  do not fall. A change meant to cost more is recorded with --update.

usage: pi_gpu.py --build DIR --driver vc4|v3d [--update]
Exit status 0 when it holds, 1 with each failure named, 77 (skipped) without the drivers'
cache (scripts/pi-mesa.sh builds it), 2 for bad arguments.
"""
import argparse
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COUNTS = os.path.join(ROOT, "tools", "pi-gpu", "counts.txt")
PROGRAMS = ["coverflow", "coverflow_text", "font", "ouch", "present"]
RENDERER = {"vc4": "VC4", "v3d": "V3D"}
# "MESA_SHADER_FRAGMENT shader: 27 inst, 2 threads, ..." (vc4 and v3d alike; v3d also
# VERTEX_BIN, vc4 COORD: the binning pass's vertex stage); v3d adds "0:0 spills:fills".
COMPILE = re.compile(r"^(\w+) shader: (\d+) inst, (\d+) threads,")
SPILLS = re.compile(r"(\d+):(\d+) spills:fills")
FAILURES = re.compile(r"Failed to register allocate|compile failed|unhandled|error", re.I)


def run_show(build, driver):
    cmd = [os.path.join(ROOT, "scripts", "pi-mesa.sh"), "--run", driver,
           os.path.join(build, "demo-shaderdb")]
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace",
                       timeout=900)
    return r.returncode, r.stdout.splitlines(), r.stderr


def parse(lines):
    """Draw-time compiles and start-up (link-time) ones as dicts, the driver's own lines."""
    compiles, linked, stray, renderer, frames = [], [], [], "", None
    for line in lines:
        if line.startswith("renderer: "):
            renderer = line[len("renderer: "):]
            continue
        m = re.match(r"^end (\d+) frames$", line)
        if m:
            frames = int(m.group(1))
            continue
        m = re.match(r"^(-?\d+) (\S+) (\S+) (debug|stderr): (.*)$", line)
        if not m:
            continue
        frame, sequence, program, kind, text = int(m.group(1)), m.group(2), m.group(3), m.group(4), m.group(5)
        c = COMPILE.match(text) if kind == "debug" else None
        if c:
            s = SPILLS.search(text)
            (compiles if frame >= 0 else linked).append(
                dict(frame=frame, sequence=sequence, program=program, stage=c.group(1),
                     inst=int(c.group(2)), threads=int(c.group(3)),
                     spills=int(s.group(1)) + int(s.group(2)) if s else 0, line=text))
        elif kind == "stderr" and FAILURES.search(text):
            stray.append((frame, sequence, program, text))
    return renderer, frames, compiles, linked, stray


def stage_of(c):
    return c["stage"].replace("MESA_SHADER_", "")


def add_precompiled(compiles, linked):
    """vc4 with its shader-db output on also compiles each program at link time for a
    guessed state; where a program's draws match that state, no draw compiles again and
    the draws run that variant: it counts as theirs."""
    drawn = {(c["program"], stage_of(c)) for c in compiles}
    for c in linked:
        if (c["program"], stage_of(c)) not in drawn and stage_of(c) == "FRAGMENT":
            compiles.append(dict(c, sequence="link"))


def summarise(compiles):
    """(program, stage) -> the largest count, fewest threads, most spills, variants."""
    table = {}
    for c in compiles:
        key = (c["program"], stage_of(c))
        t = table.setdefault(key, dict(inst=0, threads=99, spills=0, variants=0))
        t["inst"] = max(t["inst"], c["inst"])
        t["threads"] = min(t["threads"], c["threads"])
        t["spills"] = max(t["spills"], c["spills"])
        t["variants"] += 1
    return table


def read_counts():
    counts = {}
    if os.path.exists(COUNTS):
        for line in open(COUNTS):
            f = line.split()
            if f and not line.startswith("#"):
                counts[(f[0], f[1], f[2])] = dict(inst=int(f[3]), threads=int(f[4]), spills=int(f[5]),
                                                  variants=int(f[6]))
    return counts


def write_counts(driver, table):
    counts = {k: v for k, v in read_counts().items() if k[0] != driver}
    for (program, stage), v in table.items():
        counts[(driver, program, stage)] = v
    with open(COUNTS, "w") as f:
        f.write("# The show's programs as the Pi's drivers compile them (tests/pi_gpu.py --update).\n"
                "# driver program stage instructions threads spills+fills variants\n")
        for k in sorted(counts):
            v = counts[k]
            f.write("%s %s %s %d %d %d %d\n" % (k + (v["inst"], v["threads"], v["spills"], v["variants"])))


def check(driver, renderer, frames, compiles, stray, starts):
    """Every failure as a line naming the program, the driver and the compiler's words."""
    fails = []
    if RENDERER[driver] not in renderer:
        fails.append("%s: the renderer is '%s', not the %s driver" % (driver, renderer, driver))
    if frames is None:
        fails.append("%s: the show did not run to its end" % driver)
    for frame, sequence, program, text in stray:
        fails.append("%s: %s, frame %d (%s): %s" % (driver, program, frame, sequence, text))
    compiled = {c["program"] for c in compiles if stage_of(c) == "FRAGMENT"}
    for p in PROGRAMS:
        if p not in compiled:
            fails.append("%s: %s has no fragment shader compiled at draw time: its draws were dropped"
                         % (driver, p))
    first = {}
    for c in compiles:
        if c["frame"] < 0:
            continue
        first.setdefault(c["program"], c["frame"])
        if c["frame"] != first[c["program"]] and c["frame"] not in starts:
            fails.append("%s: %s compiled again in frame %d (%s), after its first frame %d: %s"
                         % (driver, c["program"], c["frame"], c["sequence"], first[c["program"]], c["line"]))
        if driver == "v3d" and c["spills"]:
            fails.append("%s: %s spills: %s" % (driver, c["program"], c["line"]))
    return fails


def compare(driver, table):
    fails, counts = [], read_counts()
    for (program, stage), now in sorted(table.items()):
        was = counts.get((driver, program, stage))
        name = "%s %s %s" % (driver, program, stage)
        if not was:
            fails.append("%s: not in %s" % (name, os.path.relpath(COUNTS, ROOT)))
        elif now["inst"] > was["inst"] * 1.10:
            fails.append("%s: %d instructions, was %d (more than 10%% up)" % (name, now["inst"], was["inst"]))
        elif now["threads"] < was["threads"]:
            fails.append("%s: %d threads, was %d" % (name, now["threads"], was["threads"]))
        elif now["spills"] > was["spills"]:
            fails.append("%s: %d spills and fills, was %d" % (name, now["spills"], was["spills"]))
    return fails


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", required=True)
    ap.add_argument("--driver", required=True, choices=sorted(RENDERER))
    ap.add_argument("--update", action="store_true", help="record this driver's counts as the baseline")
    a = ap.parse_args()
    cache = subprocess.run([os.path.join(ROOT, "scripts", "pi-mesa.sh"), "--print"], stdout=subprocess.PIPE,
                           text=True).stdout.strip()
    if not cache:
        print("pi_gpu: no build of the Pi's drivers (scripts/pi-mesa.sh makes it); skipped")
        return 77
    status, lines, err = run_show(a.build, a.driver)
    renderer, frames, compiles, linked, stray = parse(lines)
    if a.driver == "vc4":
        add_precompiled(compiles, linked)
    # The first frame of each sequence may compile: it is where a scene begins.
    starts = {int(m.group(1)) for m in (re.match(r"^start \S+ (\d+)$", l) for l in lines) if m}
    fails = [] if status == 0 else ["%s: demo-shaderdb exited with %d: %s" % (a.driver, status, err.strip()[-2000:])]
    fails += check(a.driver, renderer, frames, compiles, stray, starts)
    table = summarise(compiles)
    print("pi_gpu: %s (%s), %s frames, %d draw-time compiles (Mesa %s)"
          % (a.driver, renderer, frames, len(compiles), os.path.basename(cache)))
    for c in compiles:
        print("  frame %5d %-8s %-15s %s" % (c["frame"], c["sequence"], c["program"], c["line"]))
    counted = []
    if a.update and not fails:
        write_counts(a.driver, table)
        print("pi_gpu: %s's counts recorded in %s" % (a.driver, os.path.relpath(COUNTS, ROOT)))
    else:
        counted = compare(a.driver, table)
    for f in fails + counted:
        print("pi_gpu: FAIL: " + f)
    if counted:
        print("pi_gpu: if the change is meant, record it: python3 tests/pi_gpu.py --build %s --driver %s --update"
              % (a.build, a.driver))
    return 1 if fails or counted else 0


if __name__ == "__main__":
    sys.exit(main())
