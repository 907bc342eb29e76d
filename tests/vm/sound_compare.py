#!/usr/bin/env python3
"""Compares what a sound card played with demo-capture's mix of the same stretch.
  sound_compare.py PLAYED.wav MIX.wav    (16-bit stereo at 44100 Hz; one JSON line out)
The played sound is followed along the mix in blocks of 10 ms, each looked for sample for
sample where the one before ended, else anywhere: found elsewhere is a jump (the player fell
behind and the card replayed or skipped), found nowhere a glitch. Prints the seconds that
played as mixed, the jumps, the glitches and the pitch ratio (zero crossings, played against
mixed, over the matched stretch). Exit status 0 when 5 s or more matched."""
import json
import struct
import sys


def samples(path):
    data = open(path, "rb").read()
    fmt, at = data.find(b"fmt "), data.find(b"data")  # a recorder stopped hard may leave sizes unwritten
    if data[:4] != b"RIFF" or fmt < 0 or at < 0 or struct.unpack("<HHI", data[fmt + 8:fmt + 16]) != (1, 2, 44100):
        raise SystemExit(f"sound_compare: {path} is not 16-bit stereo PCM at 44100 Hz")
    pcm = data[at + 8:]
    return struct.unpack(f"<{len(pcm) // 2}h", pcm[:len(pcm) // 2 * 2])


def first_sound(s):
    return next((i for i in range(0, len(s) - 1, 2) if s[i] or s[i + 1]), len(s))


def crossings(s, start, end):
    signs = [v > 0 for v in s[start - start % 2:end:2] if v]
    return sum(a != b for a, b in zip(signs, signs[1:]))


if len(sys.argv) != 3 or sys.argv[1] in ("-h", "--help"):
    sys.exit(print(__doc__) or (0 if sys.argv[1:2] in (["-h"], ["--help"]) else 2))
played, mix = samples(sys.argv[1]), samples(sys.argv[2])
block, index = 882, {}
for i in range(first_sound(mix), len(mix) - block + 1, 2):
    index.setdefault(mix[i:i + 8], []).append(i)
expected = first = last = None
matched = jumps = glitches = 0
for p in range(first_sound(played), len(played) - block + 1, block):
    chunk = played[p:p + block]
    where = expected if expected is not None and mix[expected:expected + block] == chunk else \
        next((i for i in index.get(chunk[:8], []) if mix[i:i + block] == chunk), None)
    if where is None:
        glitches += any(chunk)
        continue
    jumps += expected is not None and where != expected
    first = where if first is None else first
    matched, expected, last = matched + 1, where + block, where + block
result = {"matched_s": round(matched * block / 88200, 2), "jumps": jumps, "glitches": glitches}
if first is not None:
    start = first_sound(played)
    result["pitch_ratio"] = round(crossings(played, start, start + last - first) / max(1, crossings(mix, first, last)), 4)
print(json.dumps(result))
sys.exit(0 if result["matched_s"] >= 5 else 1)
