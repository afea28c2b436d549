#!/usr/bin/env python3
"""peer-sweep.py KEYSET_DIR [--clips NAMES] [--jobs N] [--json FILE]

The best the ffmpeg command line's keyers do on each clip of a make-keyset.py set, for
comparison with our screen keyer. Per clip and CRF, the key is the one a user would pick: the
per-channel median of the first row of the top layer's first frame (decoded to rgb24 by
ffmpeg). Then every setting of
  chromakey (on the decoded YUV)  similarity 0.04..0.25 x blend 0..0.15
  colorkey (on RGB)               similarity 0.10..0.40 x blend 0..0.20
each without and with despill (type blue for a blue screen), laid over the main with
overlay=format=rgb, is scored with score.py's measure; the outputs are read as raw rgb24, the
pixels a lossless RGB FFV1 output would hold. Prints per clip and CRF the setting with the
lowest error over all pixels, and the lowest error per region over all settings (each region
on its own).

Scores are cached in KEYSET_DIR/CLIP/peer_crfNN.json, keyed by the inputs' contents and the
setting, so a rerun only runs what changed. The best setting's output is kept as
KEYSET_DIR/CLIP/peer_best_crfNN.mkv (RGB FFV1), and score.py's decoding of that file must give
the same score. --jobs: ffmpeg processes at once (default 2), each on
one thread. --json FILE: also write the summary there.
"""
import argparse
import concurrent.futures as cf
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import threading

import numpy as np

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import score  # noqa: E402

CACHE_VERSION = 1
CHROMA_SIM = (0.04, 0.08, 0.12, 0.16, 0.20, 0.25)
CHROMA_BLEND = (0.0, 0.05, 0.10, 0.15)
COLOR_SIM = (0.10, 0.16, 0.22, 0.28, 0.34, 0.40)
COLOR_BLEND = (0.0, 0.05, 0.10, 0.15, 0.20)
# yuva420p to RGBA with the clip's own matrix and the best chroma upsampling swscale has
TO_RGBA = "scale=in_color_matrix=bt709:in_range=tv:flags=bicubic+accurate_rnd+full_chroma_int," \
          "format=rgba"
FF = ["ffmpeg", "-nostdin", "-hide_banner", "-v", "error", "-y", "-threads", "1",
      "-filter_complex_threads", "1"]


def sha1(path):
    h = hashlib.sha1()
    with open(path, "rb") as f:
        for b in iter(lambda: f.read(1 << 20), b""):
            h.update(b)
    return h.hexdigest()


def pick_key(top, w, h):
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", top, "-frames:v", "1",
                        "-f", "rawvideo", "-pix_fmt", "rgb24", "-"], capture_output=True,
                       check=True)
    row = np.frombuffer(r.stdout, np.uint8)[:w * 3].reshape(w, 3)
    return "0x%02X%02X%02X" % tuple(int(round(v)) for v in np.median(row, axis=0))


def settings(key, blue):
    """Groups of (shared prefix, filter chains) from the decoded top to the keyed layer."""
    spill = ",despill=type=" + ("blue" if blue else "green")
    groups = []
    for ds in ("", spill):
        for s in CHROMA_SIM:
            groups.append(("null", [f"chromakey={key}:{s:g}:{b:g},{TO_RGBA}{ds}"
                                    for b in CHROMA_BLEND]))
        for s in COLOR_SIM:
            groups.append((TO_RGBA, [f"colorkey={key}:{s:g}:{b:g}{ds}" for b in COLOR_BLEND]))
    return groups


def name(prefix, chain):
    return chain if prefix == "null" else f"{prefix},{chain}"


def run_group(clipdir, top, prefix, chains, tmp):
    """One ffmpeg for a group: the main and the top decoded once and split, one raw rgb24
    output per chain (the pixels an RGB FFV1 output would hold, without coding them twice)."""
    n = len(chains)
    graph = [f"[1:v]{prefix},split={n}" + "".join(f"[t{i}]" for i in range(n)),
             f"[0:v]format=gbrp,split={n}" + "".join(f"[m{i}]" for i in range(n))]
    outs, paths = [], []
    for i, c in enumerate(chains):
        graph.append(f"[t{i}]{c}[k{i}];[m{i}][k{i}]overlay=format=rgb[o{i}]")
        paths.append(os.path.join(tmp, f"o{i}.rgb"))
        outs += ["-map", f"[o{i}]", "-f", "rawvideo", "-pix_fmt", "rgb24", paths[-1]]
    cmd = FF + ["-i", os.path.join(clipdir, "main.mkv"), "-i", top, "-filter_complex",
                ";".join(graph)] + outs
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode:
        raise RuntimeError(f"ffmpeg failed on {top}: {r.stderr.strip()}")
    return paths


def sweep_clip(clipdir, jobs, lock):
    meta, truth, label = clip = score.load_clip(clipdir)
    w, h = meta["width"], meta["height"]
    blue = meta["screen"][2] > meta["screen"][1]
    main_sum = sha1(os.path.join(clipdir, "main.mkv"))
    out = {}
    for crf, topname in zip(meta["crfs"], meta["tops"]):
        top = os.path.join(clipdir, topname)
        key = pick_key(top, w, h)
        ident = dict(version=CACHE_VERSION, top=sha1(top), main=main_sum,
                     truth=[meta["version"], meta["seed"]], key=key)
        cpath = os.path.join(clipdir, f"peer_crf{crf}.json")
        cache = {}
        if os.path.exists(cpath):
            with open(cpath) as f:
                c = json.load(f)
            if c.get("ident") == ident:
                cache = c["results"]
        best_path = os.path.join(clipdir, f"peer_best_crf{crf}.mkv")
        groups = settings(key, blue)
        todo = [(p, [c for c in cs if name(p, c) not in cache]) for p, cs in groups]
        todo = [(p, cs) for p, cs in todo if cs]
        with tempfile.TemporaryDirectory(prefix="peer-sweep-") as tmp:
            best = [None, os.path.join(tmp, "best.rgb")]

            def task(i, prefix, chains):
                sub = os.path.join(tmp, str(i))
                os.mkdir(sub)
                for chain, path in zip(chains, run_group(clipdir, top, prefix, chains, sub)):
                    frames = np.fromfile(path, np.uint8)
                    res = score.score_frames(meta, truth, label,
                                             frames.reshape(-1, h, w, 3), path)
                    with lock:
                        cache[name(prefix, chain)] = res
                        if best[0] is None or res["all"]["mae"] < best[0]:
                            best[0] = res["all"]["mae"]
                            os.replace(path, best[1])
                            continue
                    os.remove(path)
            with cf.ThreadPoolExecutor(jobs) as ex:
                for f in [ex.submit(task, i, p, cs) for i, (p, cs) in enumerate(todo)]:
                    f.result()
            res = {name(p, c): cache[name(p, c)] for p, cs in groups for c in cs}
            bestc = min(res, key=lambda c: res[c]["all"]["mae"])
            if best[0] is not None and best[0] == res[bestc]["all"]["mae"]:
                # keep the best output as RGB FFV1, and check that score.py's own decoding
                # of it gives the score the sweep found
                subprocess.run(FF + ["-f", "rawvideo", "-pix_fmt", "rgb24", "-s", f"{w}x{h}",
                                     "-r", str(meta["fps"]), "-i", best[1], "-c:v", "ffv1",
                                     "-pix_fmt", "bgr0", best_path], check=True)
                again = score.score(clipdir, best_path, clip)
                if again != res[bestc]:
                    raise RuntimeError(f"{best_path}: scores {again}, the sweep found "
                                       f"{res[bestc]}")
        with open(cpath + ".part", "w") as f:
            json.dump(dict(ident=ident, results=cache), f)
        os.replace(cpath + ".part", cpath)
        out[str(crf)] = dict(
            key=key, settings=len(res), best=dict(setting=bestc, regions=res[bestc]),
            region_min={r: dict(mae=min(v[r]["mae"] for v in res.values()),
                                setting=min(res, key=lambda c: res[c][r]["mae"]))
                        for r in score.REGIONS})
    return meta, out


def short(chain):
    """chromakey=0x009636:0.12:0.05,scale=...,despill=type=green -> chroma 0.12/0.05 +despill"""
    k = "chroma" if chain.startswith("chromakey") else "color"
    part = [p for p in chain.split(",") if p.startswith(k + "key")][0]
    sim, blend = part.split(":")[1:3]
    return f"{k} {sim}/{blend}" + (" +despill" if "despill" in chain else "")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("keyset")
    ap.add_argument("--clips", default="all")
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--json")
    a = ap.parse_args()
    seen = {}
    for d in sorted(os.listdir(a.keyset)):
        m = os.path.join(a.keyset, d, "meta.json")
        if os.path.exists(m):
            with open(m) as f:
                seen[d] = json.load(f)["seen"]
    want = a.clips.split(",")
    names = [n for n, s in seen.items() if "all" in want or n in want or
             ("seen" if s else "unseen") in want]
    if not names:
        sys.exit(f"peer-sweep: no clips in {a.keyset} (make-keyset.py writes them)")
    lock = threading.Lock()
    summary = {}
    print("| clip | crf | key | best setting | edge | screen | subject | all | "
          "min edge | min screen | min subject | min all |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for n in names:
        meta, res = sweep_clip(os.path.join(a.keyset, n), a.jobs, lock)
        summary[n] = dict(seen=meta["seen"], crfs=res)
        for crf, r in res.items():
            b = r["best"]["regions"]
            print(f"| {n} | {crf} | {r['key']} | {short(r['best']['setting'])} | " +
                  " | ".join(f"{b[k]['mae']:.2f}" for k in score.REGIONS) + " | " +
                  " | ".join(f"{r['region_min'][k]['mae']:.2f}" for k in score.REGIONS) + " |",
                  flush=True)
    if a.json:
        with open(a.json, "w") as f:
            json.dump(summary, f, indent=1)


if __name__ == "__main__":
    main()
