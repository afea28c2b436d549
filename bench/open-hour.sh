#!/usr/bin/env bash
# open-hour.sh [RUNS]
#
# What opening a long file of another container costs: one pass over its packets builds the
# sample table. Makes a 1-hour 1080p H.264 + AAC MP4 at about 8 Mbit/s (a 10-second libx264
# clip looped 360 times with stream copy) and the same remuxed to Matroska, then times
# `corvane-avi info` on each (it opens the file and describes it): RUNS runs from the page cache
# (default 3, after one to warm it) and, when run as root, one after dropping the caches.
# Prints the wall seconds, the peak memory and the frames found.
#
# Environment: CORVANE_BUILD (default build), LOOPS (default 360: an hour), BENCH_DIR (default
# /tmp/corvane-open-bench; the two files of an hour take about 8 GB).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVANE_BUILD:-$here/build}
dir=${BENCH_DIR:-/tmp/corvane-open-bench}
runs=${1:-3}
loops=${LOOPS:-360}  # 10-second clips: 360 make the hour
info=$build/cli/corvane-avi
[ -x "$info" ] || { echo "build corvane-avi first ($info)" >&2; exit 2; }
mkdir -p "$dir"
clip=$dir/clip.mp4
[ -s "$clip" ] || ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=1920x1080:r=25:d=10 \
  -f lavfi -i sine=r=48000:d=10 -c:v libx264 -preset veryfast -b:v 8M -maxrate 8M -bufsize 16M \
  -pix_fmt yuv420p -c:a aac -b:a 128k "$clip"
hour=$dir/hour.mp4
[ -s "$hour" ] || ffmpeg -nostdin -v error -y -stream_loop $((loops - 1)) -i "$clip" -c copy \
  -movflags +faststart "$hour"
mkv=$dir/hour.mkv
[ -s "$mkv" ] || ffmpeg -nostdin -v error -y -i "$hour" -c copy "$mkv"

# One timed open: "wall_seconds peak_kib frames".
open_once() {
  local out
  out=$( { /usr/bin/time -f '%e %M' "$info" info "$1" >"$dir/info.txt"; } 2>&1 | tail -1)
  echo "$out $(sed -n 's/^video: .*, \([0-9]*\) frames at.*/\1/p' "$dir/info.txt")"
}

for file in "$hour" "$mkv"; do
  echo "== $(basename "$file") ($(du -h "$file" | cut -f1))"
  open_once "$file" >/dev/null
  for ((i = 1; i <= runs; ++i)); do
    read -r wall kib frames <<<"$(open_once "$file")"
    echo "hot:  ${wall} s, $((kib / 1024)) MiB, $frames frames"
  done
  if [ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ]; then
    sync
    echo 3 >/proc/sys/vm/drop_caches
    read -r wall kib frames <<<"$(open_once "$file")"
    echo "cold: ${wall} s, $((kib / 1024)) MiB, $frames frames"
  fi
done
