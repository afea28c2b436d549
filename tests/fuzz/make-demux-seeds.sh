#!/usr/bin/env bash
# Writes the seeds of the demux fuzz target (committed in seeds/demux) into FOLDER: small files
# of the containers and codecs read through libavformat, each under the 16 KB a fuzz input may
# hold.
# Usage: make-demux-seeds.sh [FOLDER]   (default: seeds/demux beside this script)
set -euo pipefail
out="${1:-$(cd "$(dirname "$0")" && pwd)/seeds/demux}"
mkdir -p "$out"
video=(-f lavfi -i testsrc2=s=48x32:r=10:d=0.6)
audio=(-f lavfi -i sine=f=440:r=8000:d=0.6)
make() { ffmpeg -nostdin -v error -y "$@"; }
make "${video[@]}" "${audio[@]}" -c:v libx264 -bf 2 -g 4 -c:a aac -b:a 16k "$out/h264_aac.mp4"
make "${video[@]}" "${audio[@]}" -c:v libx264 -bf 2 -g 4 -c:a aac -b:a 16k -movflags +faststart \
  -metadata:s:v rotate=90 "$out/rotated.mov"
make "${video[@]}" "${audio[@]}" -c:v mpeg2video -c:a mp2 -b:a 32k "$out/mpeg2_mp2.ts"
make "${video[@]}" "${audio[@]}" -c:v libvpx-vp9 -deadline realtime -c:a libopus -b:a 8k \
  "$out/vp9_opus.webm"
make "${video[@]}" "${audio[@]}" -c:v mjpeg -q:v 10 -c:a flac "$out/mjpeg_flac.mkv"
make "${video[@]}" "${audio[@]}" -c:v qtrle -c:a pcm_s16le "$out/qtrle_pcm.mov"
make "${video[@]}" -c:v gif "$out/anim.gif"
make "${video[@]}" -frames:v 1 "$out/still.png"
# This ffmpeg writes no rotation from a tag: turn the track by its tkhd matrix (90 degrees).
python3 - "$out/rotated.mov" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
at = data.find(b'tkhd') - 4 + 48  # the matrix of a version 0 tkhd
struct.pack_into('>iiiii', data, at, 0, 0x10000, 0, -0x10000, 0)
open(sys.argv[1], 'wb').write(data)
PY
# The bad inputs of the reliability table: an MP4 without its index, a Matroska file cut in a
# cluster, text named as a video, and PNG headers of 0x0 and 50000x50000 pixels.
make "${video[@]}" -c:v libx264 "$out/.whole.mp4"
python3 - "$out" <<'PY'
import struct, sys, zlib
out = sys.argv[1]
whole = open(out + '/.whole.mp4', 'rb').read()
open(out + '/nomoov.mp4', 'wb').write(whole[:whole.find(b'moov') - 4])
mkv = open(out + '/mjpeg_flac.mkv', 'rb').read()
open(out + '/cut.mkv', 'wb').write(mkv[:len(mkv) * 6 // 10])
open(out + '/notes.mp4', 'w').write('Shopping list\nmilk\neggs\n')
def png(width, height):
    ihdr = b'IHDR' + struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)
    chunk = struct.pack('>I', 13) + ihdr + struct.pack('>I', zlib.crc32(ihdr))
    return b'\x89PNG\r\n\x1a\n' + chunk
open(out + '/empty.png', 'wb').write(png(0, 0))
open(out + '/huge.png', 'wb').write(png(50000, 50000))
PY
rm -f "$out/.whole.mp4"
