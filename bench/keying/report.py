#!/usr/bin/env python3
"""report.py KEYSET_DIR PEER_JSON CLIP...

The keying benchmark's table (Markdown, on stdout) from our scores (KEYSET_DIR/CLIP/
ours_crfNN.json, written by run.sh with score.py --json) and peer-sweep.py's summary, with the
targets checked for the seen and the unseen clips separately. "Peer" is the ffmpeg setting
with the lowest error over all pixels for that clip and CRF; "peer min" the lowest error of
each region over all settings. Exit status 1 when a target is missed or a score is missing.

Targets, per group:
  edge     ours <= 0.75 x peer for every clip and CRF, and summed <= 0.5 x the peer's sum
  screen   ours <= 0.5 levels for every clip and CRF
  subject  ours <= peer + 0.5 for every clip and CRF
"""
import json
import os
import sys

REGIONS = ("edge", "screen", "subject", "all")


def short(chain):
    k = "chroma" if chain.startswith("chromakey") else "color"
    part = [p for p in chain.split(",") if p.startswith(k + "key")][0]
    sim, blend = part.split(":")[1:3]
    return f"{k} {sim}/{blend}" + (" +despill" if "despill" in chain else "")


def f2(v):
    return "—" if v is None else f"{v:.2f}"


def main():
    if len(sys.argv) < 4:
        sys.exit("usage: report.py KEYSET_DIR PEER_JSON CLIP...")
    keyset, peer_json, clips = sys.argv[1], sys.argv[2], sys.argv[3:]
    with open(peer_json) as f:
        peer = json.load(f)
    ok = True
    for group, seen in (("seen", True), ("unseen", False)):
        rows = []
        for c in clips:
            if c not in peer:
                print(f"report: no peer results for {c}", file=sys.stderr)
                ok = False
                continue
            if peer[c]["seen"] != seen:
                continue
            for crf, p in peer[c]["crfs"].items():
                path = os.path.join(keyset, c, f"ours_crf{crf}.json")
                ours = None
                if os.path.exists(path):
                    with open(path) as f:
                        ours = {k: v["mae"] for k, v in json.load(f)["regions"].items()}
                rows.append((c, crf, ours, p))
        if not rows:
            continue
        print(f"\n### {group} clips\n")
        print("| clip | crf | ours edge | ours screen | ours subject | ours all | peer setting "
              "| peer edge | peer screen | peer subject | peer all | min edge | min screen "
              "| min subject | min all | edge ours/peer | edge ours/min |")
        print("|" + "---|" * 17)
        fails, sums = [], dict(ours=0.0, peer=0.0, min=0.0)
        missing = False
        for c, crf, ours, p in rows:
            pb = {k: p["best"]["regions"][k]["mae"] for k in REGIONS}
            pm = {k: p["region_min"][k]["mae"] for k in REGIONS}
            o = ours or dict.fromkeys(REGIONS)
            ratio = o["edge"] / pb["edge"] if ours else None
            ratio_min = o["edge"] / pm["edge"] if ours else None
            print(f"| {c} | {crf} | " + " | ".join(f2(o[k]) for k in REGIONS) +
                  f" | {short(p['best']['setting'])} | " +
                  " | ".join(f2(pb[k]) for k in REGIONS) + " | " +
                  " | ".join(f2(pm[k]) for k in REGIONS) + f" | {f2(ratio)} | {f2(ratio_min)} |")
            sums["peer"] += pb["edge"]
            sums["min"] += pm["edge"]
            if not ours:
                missing = True
                fails.append(f"{c} crf{crf}: no score of ours")
                continue
            sums["ours"] += o["edge"]
            if o["edge"] > 0.75 * pb["edge"]:
                fails.append(f"{c} crf{crf}: edge {o['edge']:.2f} > 0.75 x {pb['edge']:.2f}")
            if o["screen"] > 0.5:
                fails.append(f"{c} crf{crf}: screen {o['screen']:.2f} > 0.5")
            if o["subject"] > pb["subject"] + 0.5:
                fails.append(f"{c} crf{crf}: subject {o['subject']:.2f} > "
                             f"{pb['subject']:.2f} + 0.5")
        sum_ratio = None if missing else sums["ours"] / sums["peer"]
        print(f"| **sum** | | {f2(None if missing else sums['ours'])} | | | | | "
              f"{f2(sums['peer'])} | | | | {f2(sums['min'])} | | | | {f2(sum_ratio)} | "
              f"{f2(None if missing else sums['ours'] / sums['min'])} |")
        if sum_ratio is not None and sum_ratio > 0.5:
            fails.append(f"summed edge {sums['ours']:.2f} > 0.5 x {sums['peer']:.2f}")
        print()
        if fails:
            ok = False
            print(f"**FAIL** ({group}):\n")
            print("\n".join(f"- {m}" for m in fails))
        else:
            print(f"**PASS** ({group}): edge <= 0.75 x peer on every clip, summed edge "
                  f"{sum_ratio:.2f} x the peer's (<= 0.5), screen <= 0.5, subject <= peer + 0.5")
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
