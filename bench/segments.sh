#!/usr/bin/env bash
# segments.sh [REPEATS] [N ...]
#
# What cutting one mix into parts costs: a mix made on one machine against the same mix made as
# N parts (corvane-mix --segment I/N, one after another) joined by corvane-mix --join, for each
# N (default 4 and 8). Three jobs: "mjpeg" (J2: the looping green-screen top keyed on the
# 10-second 1080p Motion JPEG main, into Motion JPEG), "mjpeg-60s" (the same on a one-minute main)
# and "h264" (J6's opaque logo on a 20-second 1080p H.264 +
# AAC main with a key frame every 50 frames, into MP4 with x264 medium). Prints, as medians of
# REPEATS runs (default 3), the CPU seconds of the mix alone, of the parts and of the join, the
# ratio (parts + join) / alone (the target is at most 1.1) and the join's wall time as a share of
# the mix's (the target is under 2 %); then checks that the joined output has the frames and the
# audio packets of the one made alone. Inputs from make-inputs.sh in BENCH_DIR (default
# /tmp/corvane-bench); SEGMENT_JOBS names fewer jobs.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVANE_BUILD:-$here/build}
dir=${BENCH_DIR:-/tmp/corvane-bench}
repeats=${1:-3}
shift || true
counts=("$@")
[ ${#counts[@]} -eq 0 ] && counts=(4 8)
mix=$build/cli/corvane-mix
"$here/bench/make-inputs.sh" "$dir/in" >/dev/null
work=$dir/segments
rm -rf "$work"
mkdir -p "$work"
q3=$("$mix" --list-codecs | sed -n 's/.*q:v 3 *= *--quality *\([0-9]*\).*/\1/p' | head -1)

# timed FILE CMD...: runs CMD and appends "wall cpu" to FILE.
timed() {
  local file=$1
  shift
  /usr/bin/time -f '%e %U %S' -o "$work/t" "$@" >/dev/null 2>"$work/stderr" ||
    { cat "$work/stderr" >&2; exit 1; }
  awk '{ print $1, $2 + $3 }' "$work/t" >>"$file"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
packets() {
  ffprobe -v error -select_streams "$2" -show_entries packet=pts,size -of csv "$1" | md5sum
}

for job in ${SEGMENT_JOBS:-mjpeg mjpeg-60s h264}; do
  case $job in
    mjpeg | mjpeg-60s)
      main=$dir/in/main_1080p.avi ext=avi
      [ "$job" = mjpeg-60s ] && main=$dir/in/main_1080p_60s.avi
      options=(--loop --key 0,255,0 --at 100,50 --codec mjpeg --quality "$q3")
      top=$dir/in/top_240p.avi ;;
    h264)
      main=$dir/in/main_1080p_h264_g50.mp4 ext=mp4
      options=(--at 100,50 --codec h264)
      top=$dir/in/logo_opaque.png ;;
  esac
  rm -f "$work/alone.txt"
  for _ in $(seq "$repeats"); do
    timed "$work/alone.txt" "$mix" --overwrite "${options[@]}" "$main" "$top" "$work/alone.$ext"
  done
  alone_wall=$(cut -d' ' -f1 "$work/alone.txt" | median)
  alone_cpu=$(cut -d' ' -f2 "$work/alone.txt" | median)
  for n in "${counts[@]}"; do
    rm -f "$work/parts.txt" "$work/join.txt"
    for _ in $(seq "$repeats"); do
      joins=()
      : >"$work/one.txt"
      for i in $(seq "$n"); do
        part=$work/part-$i.$ext
        timed "$work/one.txt" "$mix" --overwrite --segment "$i/$n" "${options[@]}" "$main" "$top" "$part"
        joins+=(--join "$part")
      done
      awk '{ s += $2 } END { print s }' "$work/one.txt" >>"$work/parts.txt"
      rm -f "$work/joined.$ext"
      timed "$work/join.txt" "$mix" "${joins[@]}" "$main" "$work/joined.$ext"
    done
    parts_cpu=$(median <"$work/parts.txt")
    join_wall=$(cut -d' ' -f1 "$work/join.txt" | median)
    join_cpu=$(cut -d' ' -f2 "$work/join.txt" | median)
    same=yes
    [ "$(packets "$work/alone.$ext" a)" = "$(packets "$work/joined.$ext" a)" ] || same="NO (audio)"
    frames() { ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1"; }
    [ "$(frames "$work/alone.$ext")" = "$(frames "$work/joined.$ext")" ] || same="NO (frames)"
    awk -v job="$job" -v n="$n" -v aw="$alone_wall" -v ac="$alone_cpu" -v pc="$parts_cpu" \
      -v jw="$join_wall" -v jc="$join_cpu" -v same="$same" 'BEGIN {
      printf "%s, %d parts: alone %.2f CPU s (%.2f s wall); parts %.2f + join %.2f CPU s = %.3fx; join %.3f s wall = %.2f %% of the mix; frames and audio as alone: %s\n",
             job, n, ac, aw, pc, jc, (pc + jc) / ac, jw, 100 * jw / aw, same }'
  done
done
