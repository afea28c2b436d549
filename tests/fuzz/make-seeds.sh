#!/usr/bin/env bash
# Writes the committed seeds of the fuzz targets that read AVI files (tests/fuzz/seeds/) from the
# AVI test corpus: each corpus file cut down to a few KB, so that the fuzzer's time goes into
# mutating structure rather than carrying picture data. A seed keeps the file's headers (with
# the room reserved for indexes cut to a few bytes), the first chunk of each stream when it is
# small and a few KB more of each, and an idx1 for those chunks with their old flags, in the
# file's own style (relative or absolute offsets); files without idx1 stay without. Stream
# lengths are left as they were, as in a file cut short. Every seed goes to avireader, those
# with video to videoreader, those with audio to audiocopy. The demux seeds are
# make-demux-seeds.sh's.
# Usage: make-seeds.sh [CORPUS_DIR]   (default: the corpus made afresh in a temporary folder)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
corpus=${1:-}
if [ -z "$corpus" ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  corpus=$scratch/corpus
  "$here/../corpus/make-corpus.sh" "$corpus"
fi
out=$here/seeds
rm -rf "$out/avireader" "$out/videoreader" "$out/audiocopy"
mkdir -p "$out/avireader" "$out/videoreader" "$out/audiocopy"
python3 - "$corpus" "$out" <<'PY'
import os
import struct
import sys

corpus, out = sys.argv[1], sys.argv[2]
FIRST_LIMIT = 12 * 1024  # a stream's first chunk is kept when it is no larger
PER_STREAM = 3 * 1024  # and then chunks of that stream up to this many bytes
JUNK_KEPT = 16  # padding in the header lists (room for indexes) is cut down to this


def children(data, start, end):
    at = start
    while at + 8 <= end:
        fcc, size = data[at:at + 4], struct.unpack_from("<I", data, at + 4)[0]
        if at + 8 + size > end:
            break
        yield at, fcc, size
        at += 8 + size + (size & 1)


def chunk(fcc, body):
    return fcc + struct.pack("<I", len(body)) + body + (b"\0" if len(body) & 1 else b"")


def header_list(data, at, size):
    body = bytearray(data[at + 8:at + 12])
    for child, fcc, length in children(data, at + 12, at + 8 + size):
        if fcc == b"LIST":
            body += header_list(data, child, length)
        elif fcc == b"JUNK":
            body += chunk(fcc, bytes(min(length, JUNK_KEPT)))
        else:
            body += chunk(fcc, data[child + 8:child + 8 + length])
    return chunk(b"LIST", bytes(body))


def shorten(data):
    riff_end = min(len(data), 8 + struct.unpack_from("<I", data, 4)[0])
    head, movi, idx1 = bytearray(), None, None
    for at, fcc, size in children(data, 12, riff_end):
        kind = data[at + 8:at + 12] if fcc == b"LIST" else None
        if kind == b"movi":
            movi = (at, size)
        elif kind == b"hdrl":
            head += header_list(data, at, size)
        elif fcc == b"idx1":
            idx1 = (at, size)
        elif movi is None and fcc != b"JUNK":
            head += chunk(fcc, data[at + 8:at + 8 + size])
    if movi is None:
        return None, set()
    movi_at, movi_size = movi
    # Each chunk's flags from the old index, by the chunk's old place in the file.
    flags, relative = {}, True
    if idx1:
        at, size = idx1
        entries = [struct.unpack_from("<4sIII", data, e) for e in range(at + 8, at + size - 7, 16)]
        relative = bool(entries) and entries[0][2] < movi_at
        for _, flag, offset, _ in entries:
            flags[offset + (movi_at + 8 if relative else 0)] = flag
    kept, used, types = [], {}, set()
    for at, fcc, size in children(data, movi_at + 12, movi_at + 8 + movi_size):
        if fcc == b"LIST":
            continue
        stream = fcc[:2]
        if stream not in used:
            if size > FIRST_LIMIT:
                continue
            used[stream] = 0
        elif used[stream] + size > PER_STREAM:
            continue
        else:
            used[stream] += size
        kept.append((at, fcc, size))
        types.add(fcc[2:4].decode("latin-1"))
    riff = bytearray(b"RIFF\0\0\0\0AVI ") + head
    movi_id = len(riff) + 8
    body, index = bytearray(b"movi"), bytearray()
    for at, fcc, size in kept:
        offset = movi_id + len(body)
        body += chunk(fcc, data[at + 8:at + 8 + size])
        if idx1:
            where = offset - movi_id if relative else offset
            index += struct.pack("<4sIII", fcc, flags.get(at, 0), where, size)
    riff += chunk(b"LIST", bytes(body))
    if idx1:
        riff += chunk(b"idx1", bytes(index))
    struct.pack_into("<I", riff, 4, len(riff) - 8)
    return bytes(riff), types


seen = set()
for name in sorted(os.listdir(corpus)):
    if not name.endswith(".avi"):
        continue
    data = open(os.path.join(corpus, name), "rb").read()
    seed, types = shorten(data)
    if seed is None or seed in seen:
        continue
    seen.add(seed)
    targets = ["avireader"]
    if b"vids" in seed:
        targets.append("videoreader")
    if b"auds" in seed:
        targets.append("audiocopy")
    for target in targets:
        open(os.path.join(out, target, name), "wb").write(seed)
    print(f"{name}: {len(data)} -> {len(seed)} bytes, chunks {sorted(types)} ({', '.join(targets)})")
PY
du -sh "$out"
