#!/usr/bin/env bash
# run-jobs.sh [PAIRS] [JOB ...]
#
# Runs Corvane's corvane-mix and the ffmpeg CLI on the same mix jobs side by side, alternately
# (a warm-up pair, then PAIRS timed pairs, default 5), and prints per job the median wall time
# of each, the median of the pairwise ratios Corvane/ffmpeg, frames per second, CPU seconds and
# peak memory. Then checks the outputs: frame count and audio packets equal the main video's,
# and for J5 every pixel equals the exact composite of the decoded inputs.
#
# Jobs: J1 colour key 720p MJPEG, J2 the same on 1080p, J3 alpha 128 without transparency,
# J4 lossless RGB FFV1 output (against ffmpeg making the same: job drgb), J5 uncompressed
# output; J6 a 1080p H.264 + AAC MP4 main with an opaque PNG logo into MP4 (x264 medium, CRF
# 23, the AAC kept), J7 the same into WebM (VP9 CRF 32, good, cpu-used 5, row-mt; Opus), J8 a
# 3840x2160 Motion JPEG main into FFV1, for memory (CORVANE_BENCH_4K=1 makes its input); J11
# J2 with the screen keyer (its ffmpeg side is J2's: the target is J11 against J2); J12 three
# layers on the 1080p main (a corner logo by its alpha, a lower third from 2 s to 7 s, a
# quarter-screen clip) against ffmpeg's three chained overlays; J10 a 10-second title (a PNG
# with alpha, 0.5 s fades) in the middle of a 10-minute 720p Motion JPEG AVI into Motion JPEG
# with --smart (the frames without the title copied), against ffmpeg's overlay with
# enable=between (CORVANE_BENCH_LONG=1 makes its input, about 1 GB); J9 the same title on a
# 10-minute 1080p H.264 + AAC MP4 into MP4, the groups of pictures without the title copied
# (copying is the default into MP4), against the same overlay with x264 medium CRF 23 and the
# AAC kept (its ffmpeg side takes about 20 minutes a run: 3 pairs are enough). Inputs
# from make-inputs.sh, made once into BENCH_DIR; the ffmpeg side from peer-ffmpeg.sh, both
# beside this script.
#
# Environment: CORVANE_BUILD (default build), BENCH_DIR (default /tmp/corvane-bench), CPUS
# (a taskset list, e.g. 1 or 0,1: both sides pinned to those processors, for the speed-up from
# one core to two), WARMUP=0 (no warm-up pair: for the long jobs, whose inputs the timed runs
# read from the cache alike).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVANE_BUILD:-$here/build}
bench=$here/bench
dir=${BENCH_DIR:-/tmp/corvane-bench}
pairs=${1:-5}
shift || true
jobs=("$@")
[ ${#jobs[@]} -eq 0 ] && jobs=(J1 J2 J3 J4 J5)

mix=$build/cli/corvane-mix
[ -x "$mix" ] || { echo "build corvane-mix first ($mix)" >&2; exit 2; }
mkdir -p "$dir/in" "$dir/out"
printf '%s\n' "${jobs[@]}" | grep -qx 'J9\|J10' && export CORVANE_BENCH_LONG=1
"$bench/make-inputs.sh" "$dir/in" >/dev/null

# corvane_cmd JOB: the corvane-mix command line of a job.
corvane_cmd() {
  local in=$dir/in out=$dir/out
  case $1 in
    J1) CMD=("$mix" --overwrite --loop --key 0,255,0 --at 100,50 --codec mjpeg --quality "$MJPEG_Q3" "$in/main_720p.avi" "$in/top_240p.avi" "$out/corvane_J1.avi") ;;
    J2) CMD=("$mix" --overwrite --loop --key 0,255,0 --at 100,50 --codec mjpeg --quality "$MJPEG_Q3" "$in/main_1080p.avi" "$in/top_240p.avi" "$out/corvane_J2.avi") ;;
    J11) CMD=("$mix" --overwrite --loop --keyer screen --key 0,255,0 --at 100,50 --codec mjpeg --quality "$MJPEG_Q3" "$in/main_1080p.avi" "$in/top_240p.avi" "$out/corvane_J11.avi") ;;
    J3) CMD=("$mix" --overwrite --loop --mode alpha --alpha 128 --no-transparency --at 100,50 --codec mjpeg --quality "$MJPEG_Q3" "$in/main_720p.avi" "$in/top_240p.avi" "$out/corvane_J3.avi") ;;
    J4) CMD=("$mix" --overwrite --loop --key 0,255,0 --at 100,50 --codec ffv1 "$in/main_720p.avi" "$in/top_240p.avi" "$out/corvane_J4.avi") ;;
    J5) CMD=("$mix" --overwrite --loop --key 0,255,0 --at 100,50 --codec uncompressed "$in/main_720p.avi" "$in/top_240p.avi" "$out/corvane_J5.avi") ;;
    J6) CMD=("$mix" --overwrite --at 100,50 --codec h264 "$in/main_1080p_h264.mp4" "$in/logo_opaque.png" "$out/corvane_J6.mp4") ;;
    J7) CMD=("$mix" --overwrite --at 100,50 --codec vp9 "$in/main_1080p_h264.mp4" "$in/logo_opaque.png" "$out/corvane_J7.webm") ;;
    J8) CMD=("$mix" --overwrite --loop --key 0,255,0 --at 100,50 --codec ffv1 "$in/main_2160p.avi" "$in/top_240p.avi" "$out/corvane_J8.avi") ;;
    J9) CMD=("$mix" --overwrite --codec h264 --layer-alpha --keyer none --corner c --from 300 --to 310 --fade-in 0.5 --fade-out 0.5 "$in/main_1080p_10min.mp4" "$in/logo_alpha.png" "$out/corvane_J9.mp4") ;;
    J10) CMD=("$mix" --overwrite --smart --codec mjpeg --layer-alpha --keyer none --corner c --from 300 --to 310 --fade-in 0.5 --fade-out 0.5 "$in/main_720p_10min.avi" "$in/logo_alpha.png" "$out/corvane_J10.avi") ;;
    J12) CMD=("$mix" --overwrite --layer-alpha --corner tr --keyer none --codec mjpeg --quality "$MJPEG_Q3" "$in/main_1080p.avi" "$in/logo_alpha.png" --layer "$in/third.png" --keyer none --at 0,860 --from 2 --to 7 --layer "$in/pip_540p.avi" --keyer none --corner br "$out/corvane_J12.avi") ;;
    *) echo "unknown job $1" >&2; exit 2 ;;
  esac
  [ -z "${CPUS:-}" ] || CMD=(taskset -c "$CPUS" "${CMD[@]}")
}
# peer_cmd JOB: the ffmpeg command of the same job.
peer_cmd() {
  local in=$dir/in out=$dir/out
  case $1 in
    J1) CMD=("$bench/peer-ffmpeg.sh" "$in" "$out" a) ;;
    J2 | J11) CMD=("$bench/peer-ffmpeg.sh" "$in" "$out" b) ;;
    J3) CMD=("$bench/peer-ffmpeg.sh" "$in" "$out" c) ;;
    J4) CMD=("$bench/peer-ffmpeg.sh" "$in" "$out" drgb) ;;
    J5) CMD=("$bench/peer-ffmpeg.sh" "$in" "$out" e) ;;
    J6) CMD=("$bench/peer-ffmpeg.sh" "$in" "$out" h264) ;;
    J7) CMD=("$bench/peer-ffmpeg.sh" "$in" "$out" vp9) ;;
    J8) CMD=("$bench/peer-ffmpeg.sh" "$in" "$out" drgb4k) ;;
    J12) CMD=("$bench/peer-ffmpeg.sh" "$in" "$out" layers3) ;;
    J9) CMD=("$bench/peer-ffmpeg.sh" "$in" "$out" title1080) ;;
    J10) CMD=("$bench/peer-ffmpeg.sh" "$in" "$out" title10) ;;
  esac
  [ -z "${CPUS:-}" ] || CMD=(taskset -c "$CPUS" "${CMD[@]}")
}

# The corvane-mix quality that matches ffmpeg's -q:v 3 for MJPEG.
MJPEG_Q3=${MJPEG_Q3:-$("$mix" --list-codecs | sed -n 's/.*q:v 3 *= *--quality *\([0-9]*\).*/\1/p' | head -1)}
[ -n "$MJPEG_Q3" ] || { echo "corvane-mix --list-codecs names no quality for -q:v 3" >&2; exit 2; }

# measure: runs CMD once, appends "wall cpu peakKiB" to the file named by $1.
measure() {
  local log=$1
  shift
  /usr/bin/time -f '%e %U %S %M' -o "$dir/time.txt" "$@" >/dev/null 2>"$dir/stderr.txt" || {
    echo "command failed: $*" >&2
    cat "$dir/stderr.txt" >&2
    exit 1
  }
  awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' "$dir/time.txt" >>"$log"
}

# main_of JOB: the job's main video.
main_of() {
  case $1 in
    J2 | J11 | J12) echo "$dir/in/main_1080p.avi" ;;
    J6 | J7) echo "$dir/in/main_1080p_h264.mp4" ;;
    J8) echo "$dir/in/main_2160p.avi" ;;
    J9) echo "$dir/in/main_1080p_10min.mp4" ;;
    J10) echo "$dir/in/main_720p_10min.avi" ;;
    *) echo "$dir/in/main_720p.avi" ;;
  esac
}

median() { sort -g | awk '{ a[NR] = $1 } END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

printf '%-4s %9s %9s %7s %9s %9s %9s %8s %8s %9s %9s\n' job corvane_s ffmpeg_s ratio corv_fps corv_cpu ffm_cpu corv_c/w ffm_c/w corv_MiB ffm_MiB
for job in "${jobs[@]}"; do
  rm -f "$dir/$job.corvane" "$dir/$job.peer"
  corvane_cmd "$job"; corvane=("${CMD[@]}")
  peer_cmd "$job"; peer=("${CMD[@]}")
  if [ "${WARMUP:-1}" != 0 ]; then
    "${corvane[@]}" >/dev/null 2>&1; "${peer[@]}" >/dev/null 2>&1  # warm-up pair
  fi
  for ((i = 0; i < pairs; i++)); do
    measure "$dir/$job.corvane" "${corvane[@]}"
    measure "$dir/$job.peer" "${peer[@]}"
  done
  cw=$(cut -d' ' -f1 "$dir/$job.corvane" | median)
  pw=$(cut -d' ' -f1 "$dir/$job.peer" | median)
  ratio=$(paste -d' ' <(cut -d' ' -f1 "$dir/$job.corvane") <(cut -d' ' -f1 "$dir/$job.peer") |
    awk '{ print $1 / $2 }' | median)
  frames=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$(main_of "$job")")
  ccpu=$(cut -d' ' -f2 "$dir/$job.corvane" | median)
  pcpu=$(cut -d' ' -f2 "$dir/$job.peer" | median)
  cmem=$(cut -d' ' -f3 "$dir/$job.corvane" | median)
  pmem=$(cut -d' ' -f3 "$dir/$job.peer" | median)
  printf '%-4s %9.3f %9.3f %7.3f %9.1f %9.2f %9.2f %8.2f %8.2f %9.0f %9.0f\n' "$job" "$cw" "$pw" "$ratio" \
    "$(echo "$frames / $cw" | bc -l)" "$ccpu" "$pcpu" "$(echo "$ccpu / $cw" | bc -l)" "$(echo "$pcpu / $pw" | bc -l)" \
    "$(echo "$cmem / 1024" | bc -l)" "$(echo "$pmem / 1024" | bc -l)"
done

echo
echo "Output checks:"
status=0
for job in "${jobs[@]}"; do
  main=$(main_of "$job")
  out=$(ls "$dir/out/corvane_$job".* | head -1)
  want_v=$(ffprobe -v error -count_packets -select_streams v:0 -show_entries stream=nb_read_packets -of csv=p=0 "$main")
  want_a=$(ffprobe -v error -count_packets -select_streams a:0 -show_entries stream=nb_read_packets -of csv=p=0 "$main")
  got_v=$(ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$out")
  got_a=$(ffprobe -v error -count_packets -select_streams a:0 -show_entries stream=nb_read_packets -of csv=p=0 "$out")
  a_same=no
  if [ "$job" != J7 ]; then
    cmp -s <(ffmpeg -v error -i "$main" -map 0:a:0 -c copy -f framemd5 - 2>/dev/null | grep -v '^#') \
      <(ffmpeg -v error -i "$out" -map 0:a:0 -c copy -f framemd5 - 2>/dev/null | grep -v '^#') && a_same=yes
  fi
  verdict=ok
  if [ "$job" = J7 ]; then
    # WebM takes no AAC: the sound is encoded (Opus), so only its presence is checked.
    a_same="encoded"
    { [ "$got_v" = "$want_v" ] && [ "${got_a:-0}" -gt 0 ]; } || { verdict=FAIL; status=1; }
  else
    { [ "$got_v" = "$want_v" ] && [ "$got_a" = "$want_a" ] && [ $a_same = yes ]; } || { verdict=FAIL; status=1; }
  fi
  echo "$job: video frames $got_v/$want_v, audio packets $got_a/$want_a, audio identical $a_same: $verdict"
done
if printf '%s\n' "${jobs[@]}" | grep -qx J4; then
  if "$build/bench/check-exact" "$dir/in/main_720p.avi" "$dir/in/top_240p.avi" "$dir/out/corvane_J4.avi" 100 50 0 255 0; then
    echo "J4: every pixel equals the exact composite (lossless): ok"
  else
    echo "J4: pixels differ from the exact composite: FAIL"; status=1
  fi
fi
if printf '%s\n' "${jobs[@]}" | grep -qx J5; then
  if "$build/bench/check-exact" "$dir/in/main_720p.avi" "$dir/in/top_240p.avi" "$dir/out/corvane_J5.avi" 100 50 0 255 0; then
    echo "J5: every pixel equals the exact composite: ok"
  else
    echo "J5: pixels differ from the exact composite: FAIL"; status=1
  fi
fi
exit $status
