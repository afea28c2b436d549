#!/usr/bin/env bash
# Writes the committed seeds of fuzz_placement (tests/fuzz/seeds/placement): one input for each
# kind of placement the users ask for, in the target's layout (14 bytes of sizes, rule and
# offsets, six lines of text, then pixels).
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)/seeds/placement
rm -rf "$out"
mkdir -p "$out"
python3 - "$out" <<'PY'
import os
import sys

out = sys.argv[1]
# main w, h, top w, h (each less one), flags, rate num, den, frames, left, top, alpha, key r, g, b
seeds = {
    "custom-ownsize-key": (bytes([63, 47, 15, 11, 0, 25, 1, 50, 4, 3, 0, 0, 255, 0]),
                           ["custom", "100%", "", "", "", ""]),
    "corner-br-half-alpha": (bytes([63, 35, 31, 31, 1 | 2, 30, 1, 90, 0, 0, 128, 255, 0, 255]),
                             ["br", "50%", "1", "2.5", "0.5", "0.5"]),
    "centre-pixels-layeralpha": (bytes([39, 29, 47, 47, 4, 24, 1, 48, 0, 0, 0, 0, 0, 0]),
                                 ["c", "20x-1", "0:01", "0:01.5", "0.2", "0"]),
    "tl-mainwidth-faded": (bytes([63, 63, 23, 11, 1 | 4, 60, 2, 200, 0, 0, 200, 16, 32, 48]),
                           ["tl", "15%w", "", "1:00.000", "0.25", "0.25"]),
    "tr-grow-ntsc": (bytes([31, 23, 7, 5, 0, 0x75, 0x3e, 120, 0, 0, 0, 10, 20, 30]),
                     ["tr", "-1x20", "0.04", "", "", "1"]),
}
for name, (header, texts) in seeds.items():
    pixels = bytes((i * 73 + 11) % 256 for i in range(96))
    with open(os.path.join(out, name), "wb") as f:
        f.write(header + "\n".join(texts).encode() + b"\n" + pixels)
PY
