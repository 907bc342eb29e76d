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
import argparse, os, re, subprocess, sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
COUNTS = os.path.join(ROOT, "tools", "pi-gpu", "counts.txt")
PROGRAMS = ["coverflow", "coverflow_text", "font", "ouch", "present"]
RENDERER = {"vc4": "VC4", "v3d": "V3D"}
# "MESA_SHADER_FRAGMENT shader: 27 inst, 2 threads, ..." (vc4 and v3d alike; v3d also
# VERTEX_BIN, vc4 COORD: the binning pass's vertex stage); v3d adds "0:0 spills:fills".
COMPILE = re.compile(r"^MESA_SHADER_(\w+) shader: (\d+) inst, (\d+) threads,")
SPILLS = re.compile(r"(\d+):(\d+) spills:fills")
FAILURES = re.compile(r"Failed to register allocate|compile failed|unhandled|error", re.I)
FIELDS = ("inst", "threads", "spills", "variants")


def parse(lines):
    """The renderer, the frames shown, draw-time and start-up (link-time) compiles, the
    driver's own failure lines and the frames where a sequence starts."""
    renderer, frames, compiles, linked, stray, starts = "", None, [], [], [], set()
    for line in lines:
        if line.startswith("renderer: "):
            renderer = line[len("renderer: "):]
        elif re.match(r"^end \d+ frames$", line):
            frames = int(line.split()[1])
        elif re.match(r"^start \S+ \d+$", line):
            starts.add(int(line.split()[2]))  # the first frame of a sequence may compile
        elif m := re.match(r"^(-?\d+) (\S+) (\S+) (debug|stderr): (.*)$", line):
            frame, sequence, program, kind, text = int(m[1]), m[2], m[3], m[4], m[5]
            c = COMPILE.match(text) if kind == "debug" else None
            if c:
                s = SPILLS.search(text)
                (compiles if frame >= 0 else linked).append(dict(
                    frame=frame, sequence=sequence, program=program, stage=c[1], inst=int(c[2]), threads=int(c[3]),
                    spills=int(s[1]) + int(s[2]) if s else 0, line=text))
            elif kind == "stderr" and FAILURES.search(text):
                stray.append(f"{program}, frame {frame} ({sequence}): {text}")
    return renderer, frames, compiles, linked, stray, starts


def check(driver, renderer, frames, compiles, stray, starts):
    """Every failure as a line naming the program, the driver and the compiler's words."""
    fails = [] if RENDERER[driver] in renderer else [f"the renderer is '{renderer}', not the {driver} driver"]
    fails += [] if frames is not None else ["the show did not run to its end"]
    fails += stray
    compiled = {c["program"] for c in compiles if c["stage"] == "FRAGMENT"}
    fails += [f"{p} has no fragment shader compiled at draw time: its draws were dropped" for p in PROGRAMS if p not in compiled]
    first = {}
    for c in compiles:
        first.setdefault(c["program"], c["frame"])
        if c["frame"] not in (first[c["program"]], -1) and c["frame"] not in starts:
            fails.append(f"{c['program']} compiled again in frame {c['frame']} ({c['sequence']}), after its first frame {first[c['program']]}: {c['line']}")
        if driver == "v3d" and c["spills"]:
            fails.append(f"{c['program']} spills: {c['line']}")
    return [f"{driver}: {f}" for f in fails]


def read_counts():
    rows = [l.split() for l in open(COUNTS) if l.strip() and not l.startswith("#")] if os.path.exists(COUNTS) else []
    return {tuple(f[:3]): dict(zip(FIELDS, map(int, f[3:]))) for f in rows}


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", required=True)
    ap.add_argument("--driver", required=True, choices=sorted(RENDERER))
    ap.add_argument("--update", action="store_true", help="record this driver's counts as the baseline")
    a = ap.parse_args()
    cache = subprocess.run([os.path.join(ROOT, "scripts", "pi-mesa.sh"), "--print"], stdout=subprocess.PIPE, text=True).stdout.strip()
    if not cache:
        print("pi_gpu: no build of the Pi's drivers (scripts/pi-mesa.sh makes it); skipped")
        return 77
    r = subprocess.run([os.path.join(ROOT, "scripts", "pi-mesa.sh"), "--run", a.driver, os.path.join(a.build, "demo-shaderdb")],
                       capture_output=True, text=True, errors="replace", timeout=900)
    lines = r.stdout.splitlines()
    renderer, frames, compiles, linked, stray, starts = parse(lines)
    if a.driver == "vc4":
        # With its shader-db output on, vc4 also compiles each program at link time for a guessed
        # state; where the draws match it, none compiles again and they run that variant.
        drawn = {(c["program"], c["stage"]) for c in compiles}
        compiles += [dict(c, sequence="link") for c in linked if c["stage"] == "FRAGMENT" and (c["program"], c["stage"]) not in drawn]
    fails = [] if r.returncode == 0 else [f"{a.driver}: demo-shaderdb exited with {r.returncode}: {r.stderr.strip()[-2000:]}"]
    fails += check(a.driver, renderer, frames, compiles, stray, starts)
    # (program, stage): the largest count, fewest threads, most spills, and how many variants.
    table = {}
    for c in compiles:
        t = table.setdefault((c["program"], c["stage"]), dict(inst=0, threads=99, spills=0, variants=0))
        t.update(inst=max(t["inst"], c["inst"]), threads=min(t["threads"], c["threads"]), spills=max(t["spills"], c["spills"]),
                 variants=t["variants"] + 1)
    print(f"pi_gpu: {a.driver} ({renderer}), {frames} frames, {len(compiles)} draw-time compiles (Mesa {os.path.basename(cache)})")
    for c in compiles:
        print("  frame %5d %-8s %-15s %s" % (c["frame"], c["sequence"], c["program"], c["line"]))
    counted, counts = [], read_counts()
    if a.update and not fails:
        counts = {k: v for k, v in counts.items() if k[0] != a.driver} | {(a.driver,) + k: v for k, v in table.items()}
        with open(COUNTS, "w") as f:
            f.write("# The show's programs as the Pi's drivers compile them (tests/pi_gpu.py --update).\n"
                    "# driver program stage instructions threads spills+fills variants\n")
            f.writelines(" ".join(k) + " " + " ".join(str(counts[k][n]) for n in FIELDS) + "\n" for k in sorted(counts))
        print(f"pi_gpu: {a.driver}'s counts recorded in {os.path.relpath(COUNTS, ROOT)}")
    for (program, stage), now in sorted(table.items()) if not a.update else ():
        was, name = counts.get((a.driver, program, stage)), f"{a.driver} {program} {stage}"
        if not was:
            counted.append(f"{name}: not in {os.path.relpath(COUNTS, ROOT)}")
        elif now["inst"] > was["inst"] * 1.10:
            counted.append(f"{name}: {now['inst']} instructions, was {was['inst']} (more than 10% up)")
        elif now["threads"] < was["threads"]:
            counted.append(f"{name}: {now['threads']} threads, was {was['threads']}")
        elif now["spills"] > was["spills"]:
            counted.append(f"{name}: {now['spills']} spills and fills, was {was['spills']}")
    for f in fails + counted:
        print("pi_gpu: FAIL: " + f)
    if counted:
        print(f"pi_gpu: if the change is meant, record it: python3 tests/pi_gpu.py --build {a.build} --driver {a.driver} --update")
    return 1 if fails or counted else 0


if __name__ == "__main__":
    sys.exit(main())
