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
