#!/usr/bin/env python3
"""make-keyset.py OUTDIR [--seed N] [--small] [--clips NAMES] [--force]

Writes synthetic green- and blue-screen clips whose true matte and clean foreground are known,
for bench/keying/score.py. Each OUTDIR/CLIP/ holds:
  top_crf18.mp4, top_crf28.mp4  the camera clip: H.264 4:2:0, BT.709 limited range
  main.mkv                      the background to key onto: lossless RGB FFV1
  alpha.f32                     true matte, float32 [frame][y][x], 0..1
  fg.f32                        clean foreground (no spill), float32 [frame][y][x][rgb], 0..255
  meta.json                     size, frames, fps, screen colour, CRFs, seed, seen/unseen
Output depends only on the seed and the options. A clip already written with the same
parameters is kept (--force writes it again). The clip names are printed, one a line.

NAMES: comma-separated clip names, or seen, unseen, all (the default).
--small: one clip (studio_green unless --clips names one) at 320x180, 6 frames.

Needs numpy (Debian: python3-numpy; run with /usr/bin/python3 where the default python3
has none) and the ffmpeg command line.
"""
import argparse
import json
import os
import subprocess
import sys
import zlib

import numpy as np

VERSION = 2  # bump when the pictures change, so that kept clips are rewritten
SS = 4  # supersampling per axis for the matte
FPS = 25
CRFS = (18, 28)

# name: (seen, screen colour, layout options)
CLIPS = {
    "studio_green": (True, (0, 177, 64), dict(strands=24, shadow=0.3, grad=0.25, vignette=0.25)),
    "hair_green": (True, (0, 177, 64), dict(strands=90, shadow=0.2, grad=0.2, vignette=0.2,
                                            hair=(185, 150, 100))),
    "shadow_green": (True, (0, 177, 64), dict(strands=30, shadow=0.55, grad=0.4, vignette=0.45)),
    "blue_screen": (True, (0, 71, 187), dict(strands=40, shadow=0.35, grad=0.3, vignette=0.3)),
    "teal_props": (True, (60, 200, 40), dict(strands=30, shadow=0.3, grad=0.3, vignette=0.3,
                                             props=3)),
    "unseen_green": (False, (20, 165, 75), dict(strands=60, shadow=0.45, grad=0.35,
                                                vignette=0.35, props=2)),
    "unseen_blue": (False, (10, 80, 200), dict(strands=50, shadow=0.4, grad=0.3, vignette=0.4,
                                               hair=(120, 80, 50))),
    "unseen_lime": (False, (80, 190, 30), dict(strands=45, shadow=0.5, grad=0.45,
                                               vignette=0.3, props=2)),
}

SKIN = [(224, 172, 138), (198, 134, 96), (141, 85, 54), (242, 200, 170)]
CLOTH = [(128, 128, 128), (0, 128, 128), (154, 205, 50), (90, 90, 100), (200, 200, 200)]
DARK_HAIR = [(28, 22, 18), (55, 38, 28), (20, 20, 24)]


def grid(x0, y0, x1, y1, step):
    """Sample centres of the pixel box [x0,x1)x[y0,y1), step samples per pixel per axis."""
    xs = x0 + (np.arange((x1 - x0) * step) + 0.5) / step
    ys = y0 + (np.arange((y1 - y0) * step) + 0.5) / step
    return np.meshgrid(xs.astype(np.float32), ys.astype(np.float32))


def ellipse_sdf(cx, cy, a, b, rot=0.0):
    """Approximate signed distance (px, negative inside): the ellipse's implicit function
    over its gradient, exact enough within a few pixels of the edge."""
    c, s = np.cos(rot), np.sin(rot)

    def f(X, Y):
        u = (X - cx) * c + (Y - cy) * s
        v = -(X - cx) * s + (Y - cy) * c
        k = np.sqrt((u / a) ** 2 + (v / b) ** 2)
        grad = np.sqrt((u / a ** 2) ** 2 + (v / b ** 2) ** 2) / np.maximum(k, 1e-6)
        return (k - 1) / np.maximum(grad, 1 / max(a, b))
    return f


def box_sdf(cx, cy, a, b, r, rot=0.0):
    """Signed distance to a rectangle of half sides a, b with corners rounded to radius r."""
    c, s = np.cos(rot), np.sin(rot)

    def f(X, Y):
        qx = np.abs((X - cx) * c + (Y - cy) * s) - (a - r)
        qy = np.abs(-(X - cx) * s + (Y - cy) * c) - (b - r)
        return (np.hypot(np.maximum(qx, 0), np.maximum(qy, 0))
                + np.minimum(np.maximum(qx, qy), 0) - r)
    return f


def strand_sdf(pts, w0, w1):
    """Distance to a polyline minus its half width, the width tapering from w0 to w1."""
    seg = np.diff(pts, axis=0)
    lens = np.hypot(seg[:, 0], seg[:, 1])
    cum = np.concatenate([[0], np.cumsum(lens)])
    total = cum[-1]

    def f(X, Y):
        d = np.full(X.shape, np.inf, np.float32)
        for i in range(len(seg)):
            px, py = X - pts[i, 0], Y - pts[i, 1]
            t = np.clip((px * seg[i, 0] + py * seg[i, 1]) / max(lens[i] ** 2, 1e-9), 0, 1)
            dist = np.hypot(px - t * seg[i, 0], py - t * seg[i, 1])
            w = w0 + (w1 - w0) * (cum[i] + t * lens[i]) / total
            d = np.minimum(d, dist - w / 2)
        return d
    return f


def coverage(sdf, box, size, motion=(0.0, 0.0), taps=1):
    """Area coverage of the shape per pixel in box, supersampled SSxSS with a linear ramp
    per sample (so strands thinner than a sample still add their area). With motion, the
    coverage is averaged over `taps` positions spread over that displacement (the shutter)."""
    w, h = size
    x0, y0, x1, y1 = box
    x0, y0 = max(int(np.floor(x0)), 0), max(int(np.floor(y0)), 0)
    x1, y1 = min(int(np.ceil(x1)), w), min(int(np.ceil(y1)), h)
    if x1 <= x0 or y1 <= y0:
        return None
    X, Y = grid(x0, y0, x1, y1, SS)
    acc = np.zeros(X.shape, np.float32)
    for k in range(taps):
        f = (k + 0.5) / taps - 0.5 if taps > 1 else 0.0
        acc += np.clip(0.5 - sdf(X - f * motion[0], Y - f * motion[1]) * SS, 0, 1)
    c = (acc / taps).reshape(y1 - y0, SS, x1 - x0, SS).mean(axis=(1, 3))
    return (slice(y0, y1), slice(x0, x1)), c


def waves(rng, n, scale, amp):
    """A smooth random texture: n plane waves of wavelength around `scale` px."""
    k = rng.uniform(0.5, 1.5, n) * 2 * np.pi / scale
    th = rng.uniform(0, 2 * np.pi, n)
    ph = rng.uniform(0, 2 * np.pi, n)
    a = rng.uniform(0.5, 1.0, n) * amp / n
    return lambda X, Y: sum(a[i] * np.sin(k[i] * (np.cos(th[i]) * X + np.sin(th[i]) * Y) + ph[i])
                            for i in range(n))


def box_blur(img, r):
    """Separable box blur of radius r (edges clamped), twice, close to a Gaussian."""
    for _ in range(2):
        for axis in (0, 1):
            p = np.pad(img, [(r + 1, r) if a == axis else (0, 0) for a in range(2)], mode="edge")
            c = np.cumsum(p, axis=axis, dtype=np.float64)
            n = img.shape[axis]
            img = ((np.take(c, np.arange(2 * r + 1, 2 * r + 1 + n), axis=axis)
                    - np.take(c, np.arange(n), axis=axis)) / (2 * r + 1)).astype(np.float32)
    return img


def min3(a):
    p = np.pad(a, 1, mode="edge")
    h, w = a.shape
    return np.min([p[dy:dy + h, dx:dx + w] for dy in range(3) for dx in range(3)], axis=0)


class Clip:
    def __init__(self, name, seed, w, h, frames):
        self.seen, self.screen, opt = CLIPS[name]
        self.name, self.w, self.h, self.frames = name, w, h, frames
        rng = np.random.default_rng([seed, zlib.crc32(name.encode())])
        self.opt = opt
        s = h / 360.0  # layout scale; strand widths stay in pixels
        self.s = s
        self.cx = w * rng.uniform(0.38, 0.62)
        self.sway = rng.uniform(2, 6) * s, rng.uniform(0.6, 1.4)
        self.head = (h * rng.uniform(0.40, 0.46), 52 * s * rng.uniform(0.9, 1.1), 66 * s)
        self.skin = np.array(SKIN[rng.integers(len(SKIN))], np.float32)
        self.cloth = np.array(CLOTH[rng.integers(len(CLOTH))], np.float32)
        self.hair = np.array(opt.get("hair", DARK_HAIR[rng.integers(len(DARK_HAIR))]), np.float32)
        self.tex = [waves(rng, 4, 40 * s, 0.18) for _ in range(4)]
        self.fine = [waves(rng, 6, 5 * s, 0.10) for _ in range(4)]
        # hair strands: root angle over the crown, length, bend, width at the root, taper
        # (tip width over root width, never below 0.3 px), tone
        n = opt["strands"]
        self.strands = list(zip(rng.uniform(-2.6, -0.5, n), rng.uniform(25, 85, n) * s,
                                rng.uniform(-0.9, 0.9, n), rng.uniform(0.45, 1.5, n),
                                rng.uniform(0.3, 0.8, n), rng.uniform(0.75, 1.25, n)))
        # the veil: a half-transparent pane reaching from the figure onto the screen
        side = rng.choice([-1, 1])
        self.veil = (side * rng.uniform(80, 115) * s, h * rng.uniform(0.62, 0.72),
                     rng.uniform(45, 65) * s, rng.uniform(28, 40) * s, rng.uniform(-0.5, 0.5),
                     np.array([(235, 235, 240), (250, 215, 200), (200, 215, 235)]
                              [rng.integers(3)], np.float32))
        # props in hard colours on the other side of the figure
        self.props = [(-side * rng.uniform(150, 230) * s + rng.uniform(-20, 20) * s,
                       h * rng.uniform(0.55, 0.85), rng.uniform(18, 34) * s,
                       rng.uniform(14, 30) * s, rng.uniform(-0.6, 0.6),
                       np.array([(0, 128, 128), (154, 205, 50), (128, 128, 128)][i % 3],
                                np.float32)) for i in range(opt.get("props", 1))]
        # a ball thrown across the picture, motion-blurred (shutter of half a frame)
        self.ball = (rng.uniform(0.1, 0.3) * w, h * rng.uniform(0.2, 0.3),
                     rng.uniform(14, 22) * s * rng.choice([1, -1]),
                     rng.uniform(2, 5) * s, rng.uniform(11, 16) * s,
                     np.array([(154, 205, 50), (230, 120, 40), (0, 128, 128)][rng.integers(3)],
                              np.float32))
        if self.ball[2] < 0:
            self.ball = (w - self.ball[0],) + self.ball[1:]
        self.light = (rng.uniform(0, 2 * np.pi), waves(rng, 3, 200 * s, 0.06))
        self.shadow_off = (rng.uniform(15, 35) * s * side * -1, rng.uniform(4, 12) * s)
        self.bg = [waves(rng, 5, sc * s, 1.0) for sc in (120, 90, 150, 30)]

    def colour(self, base, tex, X, Y, dx=0.0, dy=0.0):
        """Textured colour around base: a broad shading and fine grain, moving with (dx, dy)."""
        X, Y = X - dx, Y - dy
        shade = 1 + self.tex[tex](X, Y)
        grain = self.fine[tex](X, Y)
        c = base[None, None, :] * shade[..., None] + 255 * grain[..., None] * 0.35
        return np.clip(c, 0, 255)

    def render(self, t):
        """True matte A and clean foreground F (premultiplied while building) of frame t."""
        w, h, s = self.w, self.h, self.s
        size = (w, h)
        P = np.zeros((h, w, 3), np.float32)
        A = np.zeros((h, w), np.float32)
        sil = np.zeros((h, w), np.float32)  # opaque figure only, for the cast shadow

        def over(cov, col_fn, opacity=1.0, figure=False):
            if cov is None:
                return
            sl, c = cov
            Yp, Xp = np.mgrid[sl[0], sl[1]].astype(np.float32) + 0.5
            c = c * (opacity(Xp, Yp) if callable(opacity) else opacity)
            P[sl] = c[..., None] * col_fn(Xp, Yp) + (1 - c[..., None]) * P[sl]
            A[sl] = c + (1 - c) * A[sl]
            if figure:
                sil[sl] = c + (1 - c) * sil[sl]

        cx = self.cx + self.sway[0] * np.sin(2 * np.pi * self.sway[1] * t / FPS)
        hy, ha, hb = self.head
        # shoulders and body, running out of the bottom of the picture
        by = hy + hb + 95 * s
        over(coverage(ellipse_sdf(cx, by + 40 * s, 135 * s, 120 * s), (0, by - 85 * s, w, h),
                      size), lambda X, Y: self.colour(self.cloth, 0, X, Y, cx), figure=True)
        over(coverage(ellipse_sdf(cx, hy + hb * 0.9, ha * 0.5, hb * 0.6),
                      (cx - ha, hy, cx + ha, hy + 2 * hb), size),
             lambda X, Y: self.colour(self.skin * 0.85, 1, X, Y, cx), figure=True)
        over(coverage(ellipse_sdf(cx, hy, ha, hb), (cx - ha - 2, hy - hb - 2, cx + ha + 2,
                                                     hy + hb + 2), size),
             lambda X, Y: self.colour(self.skin, 1, X, Y, cx), figure=True)
        cap = ellipse_sdf(cx, hy - 8 * s, ha * 1.08, hb * 0.92)
        over(coverage(lambda X, Y: np.maximum(cap(X, Y), Y - (hy - hb * 0.25)),
                      (cx - ha * 1.2, hy - hb * 1.1, cx + ha * 1.2, hy), size),
             lambda X, Y: self.colour(self.hair, 2, X, Y, cx), figure=True)
        # strands from the crown, swaying a little from frame to frame
        for i, (ang, ln, bend, w0, w1, tone) in enumerate(self.strands):
            r0x, r0y = cx + ha * 1.0 * np.cos(ang), hy - 8 * s + hb * 0.88 * np.sin(ang)
            wob = 0.15 * np.sin(2 * np.pi * t / 9 + i)
            u = np.linspace(0, 1, 10)[:, None]
            a = ang + (bend + wob) * u[:, 0] * 1.2
            step = ln / 9
            pts = np.cumsum(np.stack([np.cos(a) * step, np.sin(a) * step], 1), 0)
            pts = np.vstack([[r0x, r0y], pts[:-1] + [r0x, r0y]])
            if pts[:, 1].min() < 8:  # keep the first rows clean screen: shorten the strand
                pts = pts[0] + (pts - pts[0]) * (r0y - 8) / (r0y - pts[:, 1].min())
            lo, hi = pts.min(0) - 2, pts.max(0) + 2
            col = self.hair * tone
            over(coverage(strand_sdf(pts, w0, max(0.3, w0 * w1)), (lo[0], lo[1], hi[0], hi[1]),
                          size), lambda X, Y, col=col: self.colour(col, 2, X, Y, cx))
        for px, py, pa, pb, rot, col in self.props:
            ext = np.hypot(pa, pb) + 2
            over(coverage(box_sdf(cx + px, py, pa, pb, min(pa, pb) * 0.3, rot),
                          (cx + px - ext, py - ext, cx + px + ext, py + ext), size),
                 lambda X, Y, col=col, px=px, py=py: self.colour(col, 3, X, Y, cx + px, py),
                 figure=True)
        vx, vy, va, vb, vr, vcol = self.veil
        over(coverage(ellipse_sdf(cx + vx, vy, va, vb, vr),
                      (cx + vx - va - 2, vy - va - 2, cx + vx + va + 2, vy + va + 2), size),
             lambda X, Y: self.colour(vcol, 3, X, Y, cx), opacity=lambda X, Y:
             0.5 + 0.1 * np.sin((X - cx) / (9 * s)) * np.cos(Y / (13 * s)))
        bx0, by0, bv, bvy, br, bcol = self.ball
        bx, byy = bx0 + bv * t, by0 + bvy * t
        mot = (bv * 0.5, bvy * 0.5)
        over(coverage(ellipse_sdf(bx, byy, br, br * 0.9),
                      (bx - br - abs(mot[0]) - 2, byy - br - abs(mot[1]) - 2,
                       bx + br + abs(mot[0]) + 2, byy + br + abs(mot[1]) + 2), size, mot, 16),
             lambda X, Y: self.colour(bcol, 0, X, Y, bx, byy))
        F = np.where(A[..., None] > 1e-6, P / np.maximum(A, 1e-6)[..., None], 0)
        return A, F.astype(np.float32), sil

    def screen_light(self, sil):
        """The screen as the camera saw it, per pixel: nominal colour under a gradient, a
        vignette, low-frequency unevenness and the figure's soft cast shadow."""
        w, h, o = self.w, self.h, self.opt
        Y, X = np.mgrid[0:h, 0:w].astype(np.float32) + 0.5
        th, uneven = self.light
        ramp = ((X - w / 2) * np.cos(th) + (Y - h / 2) * np.sin(th)) / np.hypot(w, h)
        r2 = ((X - w / 2) / (w / 2)) ** 2 + ((Y - h / 2) / (h / 2)) ** 2
        light = (1 + o["grad"] * 2 * ramp) * (1 - o["vignette"] * r2 / 2) * (1 + uneven(X, Y))
        dx, dy = (int(round(v)) for v in self.shadow_off)
        sh = np.zeros_like(sil)
        sh[max(dy, 0):h + min(dy, 0), max(dx, 0):w + min(dx, 0)] = \
            sil[max(-dy, 0):h - max(dy, 0), max(-dx, 0):w - max(dx, 0)]
        sh = box_blur(sh, max(2, int(8 * self.s)))
        light = light * (1 - o["shadow"] * sh)
        return np.clip(np.array(self.screen, np.float32)[None, None, :] * light[..., None],
                       0, 255)

    def main(self, t):
        """The background: warm, busy, moving, far from either screen colour."""
        w, h = self.w, self.h
        Y, X = np.mgrid[0:h, 0:w].astype(np.float32) + 0.5
        Xm = X - 3 * t * self.s
        r = 170 + 70 * self.bg[0](Xm, Y)
        g = 70 + 45 * self.bg[1](Xm, Y + 2 * t)
        b = 95 + 60 * self.bg[2](X, Y - 2 * t)
        check = (((Xm // (24 * self.s)) + (Y // (24 * self.s))) % 2) * 2 - 1
        detail = 25 * check + 30 * self.bg[3](X, Y)
        rgb = np.stack([r + detail, g + detail * 0.6, b + detail * 0.8], -1)
        return np.clip(np.round(rgb), 0, 255).astype(np.uint8)


def ffmpeg_encode(raw, size, out, args):
    w, h = size
    return subprocess.Popen(
        ["ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-y", "-f", "rawvideo",
         "-pix_fmt", "rgb24", "-s", f"{w}x{h}", "-r", str(FPS), "-i", raw] + args +
        ["-fflags", "+bitexact", out])  # no random container IDs: same seed, same bytes


def write_clip(outdir, name, seed, w, h, frames, force):
    d = os.path.join(outdir, name)
    os.makedirs(d, exist_ok=True)
    seen, screen, _ = CLIPS[name]
    meta = dict(clip=name, version=VERSION, seed=seed, width=w, height=h, frames=frames,
                fps=FPS, screen=list(screen), crfs=list(CRFS), seen=seen,
                tops=[f"top_crf{c}.mp4" for c in CRFS], main="main.mkv")
    mpath = os.path.join(d, "meta.json")
    files = meta["tops"] + ["main.mkv", "alpha.f32", "fg.f32"]
    if not force and os.path.exists(mpath) and all(os.path.exists(os.path.join(d, n))
                                                   for n in files):
        with open(mpath) as f:
            if json.load(f) == meta:
                return []
    if os.path.exists(mpath):
        os.remove(mpath)  # no meta.json while the clip is incomplete
    clip = Clip(name, seed, w, h, frames)
    noise = np.random.default_rng([seed, zlib.crc32(name.encode()), 1])
    top_raw, main_raw = os.path.join(d, ".top.rgb24"), os.path.join(d, ".main.rgb24")
    with open(os.path.join(d, "alpha.f32"), "wb") as fa, open(os.path.join(d, "fg.f32"), "wb") \
            as ff, open(top_raw, "wb") as ft, open(main_raw, "wb") as fm:
        for t in range(frames):
            A, F, sil = clip.render(t)
            S = clip.screen_light(sil)
            # spill: the screen's light wraps round the subject's edges, strongest at the edge
            # and gone some 5 px inside; thin and half-transparent parts take it throughout
            er, acc = A, np.zeros_like(A)
            for _ in range(6):
                er = min3(er)
                acc += er
            wspill = (0.25 * (1 - acc / 6))[..., None]
            Fsrc = (1 - wspill) * F + wspill * S
            top = A[..., None] * Fsrc + (1 - A[..., None]) * S
            top += noise.normal(0, 2.5, top.shape).astype(np.float32)
            ft.write(np.clip(np.round(top), 0, 255).astype(np.uint8).tobytes())
            fa.write(A.astype("<f4").tobytes())
            ff.write(F.astype("<f4").tobytes())
            fm.write(clip.main(t).tobytes())
    yuv = ["-vf", "scale=out_color_matrix=bt709:out_range=tv:flags=bicubic+accurate_rnd,"
           "format=yuv420p", "-c:v", "libx264", "-preset", "medium", "-threads", "1",
           "-pix_fmt", "yuv420p", "-colorspace", "bt709", "-color_primaries", "bt709",
           "-color_trc", "bt709", "-color_range", "tv"]
    jobs = [ffmpeg_encode(top_raw, (w, h), os.path.join(d, f"top_crf{c}.mp4"),
                          yuv + ["-crf", str(c)]) for c in CRFS]
    jobs.append(ffmpeg_encode(main_raw, (w, h), os.path.join(d, "main.mkv"),
                              ["-c:v", "ffv1", "-pix_fmt", "bgr0", "-threads", "1"]))
    return [(d, meta, [top_raw, main_raw], jobs)]


def finish(pending):
    for d, meta, raws, jobs in pending:
        if any(j.wait() for j in jobs):
            sys.exit(f"make-keyset: ffmpeg failed for {d}")
        for r in raws:
            os.remove(r)
        with open(os.path.join(d, "meta.json"), "w") as f:
            json.dump(meta, f, indent=1)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("outdir")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--small", action="store_true")
    ap.add_argument("--clips", default="all")
    ap.add_argument("--force", action="store_true")
    a = ap.parse_args()
    names = []
    for n in a.clips.split(","):
        if n in ("all", "seen", "unseen"):
            names += [c for c, v in CLIPS.items() if n == "all" or v[0] == (n == "seen")]
        elif n in CLIPS:
            names.append(n)
        else:
            ap.error(f"unknown clip {n!r} (known: {', '.join(CLIPS)}, seen, unseen, all)")
    w, h, frames = 640, 360, 12
    if a.small:
        names = [names[0] if a.clips != "all" else "studio_green"]
        w, h, frames = 320, 180, 6
    names = list(dict.fromkeys(names))
    pending = []
    for n in names:
        # encode the previous clip while this one is drawn, but keep at most one clip in flight
        new = write_clip(a.outdir, n, a.seed, w, h, frames, a.force)
        finish(pending)
        pending = new
    finish(pending)
    print("\n".join(names))


if __name__ == "__main__":
    main()
