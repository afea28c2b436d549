#!/usr/bin/env python3
"""check_raw_patterns.py - verifies the exact pixel content of the raw corpus files.

Reads the video chunks straight from the files (no decoder) and checks:
  - main_320x240_bgr24_pcm.avi and ff_bgr24_{321x241,5x3,1x1,64x48_dibhandler}.avi:
    every pixel (x, y counted from the top row, frame n) is
    B = 4n mod 256, G = y mod 256, R = x mod 256,
    rows stored bottom-up, each row padded to a multiple of 4 bytes;
  - top_160x120_bgr24_green.avi: per frame exactly 18944 pixels (0,255,0),
    240 red (255,0,0) and 16 near-green (0,254,0) pixels (R,G,B); the red
    square's top-left corner in frame k is at x = 12 + 4k, y = 11 + 3k.
Prints one line per file and exits non-zero on any mismatch.

Usage: python3 check_raw_patterns.py DIR   (make-corpus.sh runs it on every corpus it writes)
"""
import os
import sys

sys.dont_write_bytecode = True  # keep the source folder free of __pycache__
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from riffwalk import Walker  # noqa: E402


def video_frames(path):
    w = Walker(path)
    w.walk()
    v = [s for s in w.streams if s.get("type") == "vids"][0]
    ids = ("%02ddc" % v["no"], "%02ddb" % v["no"])
    frames = [bytes(w.data[p + 8:p + 8 + sz]) for _, ck, p, sz, _ in w.movi if ck in ids]
    return v["bi_width"], v["bi_height"], v["bi_bitcount"], frames


def rows_top_first(width, height, data):
    stride = ((width * 24 + 31) >> 3) & ~3
    rows = [data[r * stride:r * stride + width * 3] for r in range(abs(height))]
    return rows if height < 0 else rows[::-1]


def check_gradient(path):
    w, h, bpp, frames = video_frames(path)
    stride = ((w * 24 + 31) >> 3) & ~3
    bad = 0
    for n, f in enumerate(frames):
        if len(f) != stride * abs(h):
            bad += 1
            continue
        for y, row in enumerate(rows_top_first(w, h, f)):
            want = bytes(b for x in range(w) for b in ((4 * n) & 255, y & 255, x & 255))
            if row != want:
                bad += 1
    return "%s: %dx%d, %d frames of %d bytes (stride %d), %d bad rows" % (
        os.path.basename(path), w, h, len(frames), stride * abs(h), stride, bad), bad == 0


def check_top(path):
    w, h, bpp, frames = video_frames(path)
    ok = True
    for k, f in enumerate(frames):
        counts = {}
        first = None
        for y, row in enumerate(rows_top_first(w, h, f)):
            for x in range(w):
                bgr = row[3 * x:3 * x + 3]
                counts[bgr] = counts.get(bgr, 0) + 1
                if first is None and bgr != b"\x00\xff\x00":
                    first = (x, y)
        want = {b"\x00\xff\x00": 18944, b"\x00\x00\xff": 240, b"\x00\xfe\x00": 16}
        if counts != want or first != (12 + 4 * k, 11 + 3 * k):
            ok = False
    return "%s: %dx%d, %d frames, colour counts and square positions %s" % (
        os.path.basename(path), w, h, len(frames), "match" if ok else "DO NOT match"), ok


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    d = sys.argv[1]
    results = [check_gradient(os.path.join(d, f)) for f in (
        "main_320x240_bgr24_pcm.avi", "ff_bgr24_321x241.avi", "ff_bgr24_5x3.avi",
        "ff_bgr24_1x1.avi", "ff_bgr24_64x48_dibhandler.avi")]
    results.append(check_top(os.path.join(d, "top_160x120_bgr24_green.avi")))
    for line, _ in results:
        print(line)
    return 0 if all(ok for _, ok in results) else 1


if __name__ == "__main__":
    sys.exit(main())
