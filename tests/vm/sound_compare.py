#!/usr/bin/env python3
"""Compares what a sound card played (a WAV that QEMU wrote for the guest's card, or any
recording) with demo-capture's mix of the same stretch of the show.

  sound_compare.py PLAYED.wav MIX.wav [--json]

Both are 16-bit stereo at 44100 Hz. The played sound is followed along the mix in blocks of
10 ms: each block is looked for, sample for sample, near where the one before it ended. A
block found there continues the mix; one found elsewhere is a jump (the player fell behind
and the card played old or silent data, or skipped ahead); one found nowhere is a glitch.
Prints how many seconds played as the mix did, the jumps and glitches, and the played
sound's pitch against the mix's (zero crossings a second of the matched stretch).
Exit status 0 when at least --min seconds (default 5) matched, else 1."""
import argparse
import json
import struct
import sys


def samples(path):
    data = open(path, "rb").read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise SystemExit(f"sound_compare: {path} is not a WAV file")
    pos, fmt, pcm = 12, None, None
    while pos + 8 <= len(data):
        kind, size = data[pos:pos + 4], struct.unpack("<I", data[pos + 4:pos + 8])[0]
        body = data[pos + 8:pos + 8 + size]
        if kind == b"fmt ":
            fmt = struct.unpack("<HHIIHH", body[:16])
        elif kind == b"data":
            pcm = data[pos + 8:]  # a recorder stopped hard may leave the size unwritten
            break
        pos += 8 + size + (size & 1)
    if not fmt or fmt[0] != 1 or fmt[1] != 2 or fmt[2] != 44100 or fmt[5] != 16 or pcm is None:
        raise SystemExit(f"sound_compare: {path} is not 16-bit stereo PCM at 44100 Hz ({fmt})")
    return struct.unpack(f"<{len(pcm) // 2}h", pcm[:len(pcm) // 2 * 2])


def first_sound(s):
    i = 0
    while i + 1 < len(s) and s[i] == 0 and s[i + 1] == 0:
        i += 2
    return i


def crossings(s, start, end):
    """Zero crossings of the left channel between two sample offsets."""
    n, last = 0, 0
    for i in range(start - start % 2, end, 2):
        v = s[i]
        if v and last and (v > 0) != (last > 0):
            n += 1
        if v:
            last = v
    return n


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("played")
    parser.add_argument("mix")
    parser.add_argument("--min", type=float, default=5.0, help="seconds that must match (default 5)")
    parser.add_argument("--json", action="store_true", help="one JSON line instead of text")
    args = parser.parse_args()
    played, mix = samples(args.played), samples(args.mix)
    block = 882  # 10 ms of stereo samples
    index = {}
    start = first_sound(mix)
    for i in range(start, len(mix) - block + 1, 2):
        index.setdefault(mix[i:i + 8], []).append(i)
    p, expected = first_sound(played), None
    matched = jumps = glitches = 0
    first_match = last_match = None
    while p + block <= len(played):
        chunk = played[p:p + block]
        where = None
        if expected is not None and mix[expected:expected + block] == chunk:
            where = expected
        else:
            for i in index.get(chunk[:8], []):
                if mix[i:i + block] == chunk:
                    where = i
                    break
        if where is None:
            if any(chunk):
                glitches += 1
        else:
            if expected is not None and where != expected:
                jumps += 1
            if first_match is None:
                first_match = where
            matched += 1
            expected = where + block
            last_match = where + block
        p += block
    seconds = matched * block / 88200.0
    result = {"matched_s": round(seconds, 2), "jumps": jumps, "glitches": glitches}
    if first_match is not None and last_match > first_match:
        # The pitch: the matched stretch's zero crossings, played against mixed.
        span = last_match - first_match
        result["pitch_ratio"] = round(crossings(played, first_sound(played), first_sound(played) + span) /
                                      max(1, crossings(mix, first_match, last_match)), 4)
    print(json.dumps(result) if args.json else
          f"sound_compare: {seconds:.2f} s played as mixed, {jumps} jump(s), {glitches} glitch block(s)"
          + (f", pitch ratio {result['pitch_ratio']}" if "pitch_ratio" in result else ""))
    return 0 if seconds >= args.min else 1


if __name__ == "__main__":
    sys.exit(main())
