#!/usr/bin/env python3
"""score.py CLIPDIR OUTPUT_VIDEO [--json]

Compares a keyed mix of a make-keyset.py clip with the true composite alpha*F + (1-alpha)*B
(alpha and the clean foreground F from CLIPDIR, B the clip's lossless main.mkv) and prints
the mean absolute error in 8-bit levels, per channel and averaged over the channels, in:
  edge     soft edges: 0.01 < alpha < 0.99, widened by 2 px (5x5 dilation)
  screen   alpha <= 0.01 outside the widened edge: where the main should show untouched
  subject  alpha >= 0.99 outside the widened edge
  all      every pixel
OUTPUT_VIDEO is decoded by the ffmpeg command line to rgb24 and compared frame for frame; a
size or frame count other than the clip's is an error (exit status 1).

Needs numpy (Debian: python3-numpy; /usr/bin/python3 where the default python3 has none).
"""
import json
import os
import subprocess
import sys

import numpy as np

REGIONS = ("edge", "screen", "subject", "all")


class ScoreError(Exception):
    pass


def decode_rgb(path, w, h):
    """Every frame of path as rgb24, one picture per coded frame (no duplicates or drops)."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                            "stream=width,height", "-of", "csv=p=0", path],
                           capture_output=True, text=True)
    if probe.returncode or not probe.stdout.strip():
        raise ScoreError(f"{path}: no video stream ({probe.stderr.strip()})")
    size = tuple(int(v) for v in probe.stdout.strip().splitlines()[0].split(",")[:2])
    if size != (w, h):
        raise ScoreError(f"{path}: {size[0]}x{size[1]}, the clip is {w}x{h}")
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0",
                        "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                       capture_output=True)
    if r.returncode:
        raise ScoreError(f"{path}: ffmpeg could not decode it: {r.stderr.decode().strip()}")
    n, rest = divmod(len(r.stdout), w * h * 3)
    if rest:
        raise ScoreError(f"{path}: decoded size is not a whole number of {w}x{h} frames")
    return np.frombuffer(r.stdout, np.uint8).reshape(n, h, w, 3)


def dilate(mask, r):
    h, w = mask.shape
    p = np.pad(mask, r)
    out = np.zeros_like(mask)
    for dy in range(2 * r + 1):
        for dx in range(2 * r + 1):
            out |= p[dy:dy + h, dx:dx + w]
    return out


def load_clip(clipdir):
    with open(os.path.join(clipdir, "meta.json")) as f:
        meta = json.load(f)
    w, h, n = meta["width"], meta["height"], meta["frames"]
    alpha = np.fromfile(os.path.join(clipdir, "alpha.f32"), "<f4").reshape(n, h, w)
    fg = np.fromfile(os.path.join(clipdir, "fg.f32"), "<f4").reshape(n, h, w, 3)
    main = decode_rgb(os.path.join(clipdir, meta["main"]), w, h)
    if len(main) != n:
        raise ScoreError(f"{clipdir}: main.mkv has {len(main)} frames, meta.json says {n}")
    truth = alpha[..., None] * fg + (1 - alpha[..., None]) * main
    # edge, screen and subject split the picture: one label per pixel
    label = np.zeros((n, h, w), np.intp)
    for i in range(n):
        a = alpha[i]
        edge = dilate((a > 0.01) & (a < 0.99), 2)
        label[i][~edge] = np.where(a[~edge] <= 0.01, 1, 2)
    return meta, truth, label.ravel()


def score_frames(meta, truth, label, frames, name="output"):
    n = meta["frames"]
    if len(frames) != n:
        raise ScoreError(f"{name}: {len(frames)} frames, the clip has {n}")
    err = np.abs(frames.astype(np.float32) - truth).reshape(-1, 3)
    sums = np.stack([np.bincount(label, err[:, c], 3) for c in range(3)], 1)
    cnts = np.bincount(label, minlength=3)
    sums, cnts = np.vstack([sums, sums.sum(0)]), np.append(cnts, cnts.sum())
    out = {}
    for k, cnt, s in zip(REGIONS, cnts, sums):
        rgb = s / cnt if cnt else np.zeros(3)
        out[k] = dict(pixels=int(cnt), mae=round(float(rgb.mean()), 4),
                      mae_rgb=[round(float(v), 4) for v in rgb])
    return out


def score(clipdir, video, clip=None):
    """Error table of video against the clip; pass clip=load_clip(clipdir) to score many."""
    meta, truth, label = clip or load_clip(clipdir)
    frames = decode_rgb(video, meta["width"], meta["height"])
    return score_frames(meta, truth, label, frames, video)


def main():
    args = [a for a in sys.argv[1:] if a != "--json"]
    if len(args) != 2:
        sys.exit(__doc__.strip().split("\n")[0].replace("score.py", "usage: score.py", 1))
    try:
        res = score(*args)
    except (ScoreError, OSError, ValueError) as e:
        print(f"score: {e}", file=sys.stderr)
        sys.exit(1)
    if "--json" in sys.argv[1:]:
        print(json.dumps(dict(clip=args[0], output=args[1], regions=res)))
        return
    print(f"{args[1]} against {args[0]} (mean absolute error, 8-bit levels)")
    print(f"{'region':8} {'pixels':>9} {'mean':>8} {'R':>8} {'G':>8} {'B':>8}")
    for k in REGIONS:
        r = res[k]
        print(f"{k:8} {r['pixels']:9d} {r['mae']:8.3f} " + " ".join(f"{v:8.3f}" for v in
                                                                r["mae_rgb"]))


if __name__ == "__main__":
    main()
