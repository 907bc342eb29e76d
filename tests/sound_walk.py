#!/usr/bin/env python3
"""Follows what a player played along demo-capture's mix of the same stretch, the one sample
walk of every sound comparison (a sound server's sink, a browser page's recorder, a guest's
sound card).
  sound_walk.py PLAYED MIX [--min-s S] [--max-gaps N] [--max-jumps N] [--max-wrong N] [--max-lead-in-s S]
PLAYED and MIX are 16-bit stereo at 44100 Hz: WAV files, or raw samples (a recorder's).
From the first sound of each, equal samples are followed in order. Where they part:
  a gap     silence in PLAYED where the mix has sound, after which the mix goes on where it
            was: the player fell behind and the output inserted silence (nothing lost), or,
            10 ms or longer, goes on elsewhere (a gap, then a jump);
  a jump    the next 10 ms of PLAYED found elsewhere in the mix: sound lost or played again;
  wrong     10 ms of sound found nowhere in the mix: a wrong sample; or sound silenced in place,
            shorter than a gap.
Prints one JSON line (seconds followed as mixed, the mix's lead-in that the recording missed
before its first sound, gaps and their seconds, jumps, wrong blocks, the first few of them
and where, the pitch ratio over the followed stretch). Exit status 0 when at least S seconds (default
5) were followed and no more gaps, jumps and wrong blocks were met than allowed (default:
any gaps, no jump, nothing wrong, a lead-in of 0.1 s at most; -1 allows any), 1 otherwise,
2 on bad input."""
import argparse
import json
import struct
import sys
from array import array

BLOCK = 882  # 10 ms of stereo samples


def samples(path):
    try:
        data = open(path, "rb").read()
    except OSError as e:
        print(f"sound_walk: {e}", file=sys.stderr)
        sys.exit(2)
    if data[:4] == b"RIFF":
        fmt, at = data.find(b"fmt "), data.find(b"data")  # a recorder stopped hard may leave sizes unwritten
        if fmt < 0 or at < 0 or struct.unpack("<HHI", data[fmt + 8:fmt + 16]) != (1, 2, 44100):
            print(f"sound_walk: {path} is not 16-bit stereo PCM at 44100 Hz", file=sys.stderr)
            sys.exit(2)
        data = data[at + 8:]
    s = array("h")
    s.frombytes(data[:len(data) // 2 * 2])
    return s if sys.byteorder == "little" else (s.byteswap(), s)[1]


def first_sound(s):
    return next((i for i in range(0, len(s) - 1, 2) if s[i] or s[i + 1]), len(s))


def crossings(s, start, end):
    signs = [v > 0 for v in s[start - start % 2:end:2] if v]
    return sum(a != b for a, b in zip(signs, signs[1:]))


def walk(played, mix):
    mix_bytes = mix.tobytes()

    def find(h, m):
        """Where the 10 ms of played from h are in the mix, looked for from m on first."""
        chunk = played[h:h + BLOCK].tobytes()
        for start in (2 * m, 0):
            at = mix_bytes.find(chunk, start)
            while at >= 0 and at % 4 != 2 * h % 4:  # on a sample of the same channel
                at = mix_bytes.find(chunk, at + 1)
            if at >= 0:
                return at // 2
        return None

    r = {"matched": 0, "gaps": 0, "gap_samples": 0, "jumps": 0, "wrong": 0}
    h, m, lost = first_sound(played), first_sound(mix), False
    # A monitor that starts recording as the sink wakes may miss the first few milliseconds:
    # the walk starts where the first sound heard is in the mix, and says how far in.
    start = find(h, m) if h + BLOCK <= len(played) else None
    lead_in, m = (start - m, start) if start is not None else (0, m)
    first, events = (h, m), []

    def event(kind):  # the first few, at seconds of the played sound
        if len(events) < 5:
            events.append(f"{kind} at {(h - first[0]) / 88200:.2f} s")

    while h + BLOCK <= len(played) and m < len(mix):
        n = min(BLOCK, len(mix) - m)
        if not lost and played[h:h + n] == mix[m:m + n]:
            h, m, r["matched"] = h + n, m + n, r["matched"] + n
            continue
        k = 0
        while not lost and k < n and played[h + k] == mix[m + k]:
            k += 1
        h, m, r["matched"] = h + k, m + k, r["matched"] + k
        z = 0
        while h + z < len(played) and played[h + z] == 0:
            z += 1
        if h + z + BLOCK > len(played):
            break  # the recording ends in silence
        resumed = played[h + z:h + z + 16] == mix[m:m + 16]
        # Silence of a block or more is a gap even where the sound then goes on elsewhere
        # (a stream restarted after an underrun may drop what it held): a gap, then a jump.
        if z and not lost and (resumed or z >= BLOCK):
            event(f"gap of {z / 88200:.3f} s")
            r["gaps"], r["gap_samples"] = r["gaps"] + 1, r["gap_samples"] + z
        h += z
        if z and not lost and resumed:
            continue
        where = find(h, m)
        if 0 < z < BLOCK and not lost and where == m + z:  # the sound went on in time, silenced a moment
            event(f"silence in place of {z // 2} frames of sound")
            r["wrong"], m = r["wrong"] + 1, where
            continue
        if where is None:
            event("wrong") if not lost else None
            r["wrong"] += 1
            h, lost = h + BLOCK, True
        else:
            if not lost and where != m:
                event(f"jump of {(where - m) / 88200:+.3f} s")
                r["jumps"] += 1
            m, lost = where, False
    out = {"matched_s": round(r["matched"] / 88200, 2), "lead_in_s": round(lead_in / 88200, 3), "gaps": r["gaps"], "gap_s": round(r["gap_samples"] / 88200, 3),
           "jumps": r["jumps"], "wrong": r["wrong"]}
    if events:
        out["events"] = events
    if r["matched"]:
        out["pitch_ratio"] = round(crossings(played, first[0], h) / max(1, crossings(mix, first[1], m)), 4)
    return out


def main():
    if len(sys.argv) > 1 and sys.argv[1] in ("-h", "--help"):
        print(__doc__)
        return 0
    parser = argparse.ArgumentParser(usage=__doc__.splitlines()[3].strip())
    parser.add_argument("played")
    parser.add_argument("mix")
    parser.add_argument("--min-s", type=float, default=5)
    parser.add_argument("--max-gaps", type=int, default=-1)
    parser.add_argument("--max-jumps", type=int, default=0)
    parser.add_argument("--max-wrong", type=int, default=0)
    parser.add_argument("--max-lead-in-s", type=float, default=0.1)
    a = parser.parse_args()
    r = walk(samples(a.played), samples(a.mix))
    print(json.dumps(r))
    over = any(limit >= 0 and r[k] > limit for k, limit in (("gaps", a.max_gaps), ("jumps", a.max_jumps), ("wrong", a.max_wrong)))
    over |= 0 <= a.max_lead_in_s < r["lead_in_s"]
    return 0 if r["matched_s"] >= a.min_s and not over else 1


if __name__ == "__main__":
    sys.exit(main())
