#!/usr/bin/env bash
# peer-ffmpeg.sh INDIR OUTDIR [JOB ...]
#
# What the ffmpeg command line does for the benchmark's mixes, on the inputs make-inputs.sh
# wrote into INDIR. Outputs go to OUTDIR.
#
# Jobs:
#   a        colour key: top_240p.avi (looped) over main_720p.avi at x=100,y=50, key 0x00FF00
#            at colorkey's smallest similarity (0.01), Motion JPEG -q:v 3, audio copied
#   b        the same on main_1080p.avi
#   c        alpha blend: the top at 50 % opacity (colorchannelmixer aa=0.5), otherwise as a
#   d        job a into FFV1 (ffmpeg composites in YUV and codes yuv420p)
#   drgb     job a into lossless RGB FFV1: the composite made on packed RGB pictures and coded
#            as bgr0, so every composite pixel is kept; the same work as a lossless RGB mix
#   e        job a into uncompressed 24-bit BGR
#   argb     job a composited on packed RGB pictures, then back to yuvj420p for Motion JPEG
#   layers3  three chained overlays on main_1080p.avi: logo_alpha.png by its alpha in the top
#            right corner, third.png from 2 s to 7 s, pip_540p.avi in the bottom right;
#            Motion JPEG -q:v 3, audio copied
#   title1080  the same title on main_1080p_10min.mp4 into MP4: x264 medium CRF 23, AAC copied
#   dec720, dec1080   decode only, to the null muxer
#   enc720, enc1080   decode and Motion JPEG -q:v 3 encode, no filter, audio copied
#
# With exactly one JOB the script replaces itself with that ffmpeg process, so an outside
# timer measures ffmpeg alone. With none or several it runs each once and prints its wall time
# and ffmpeg's last frame= and speed=.
set -euo pipefail

if [ $# -lt 2 ]; then
  sed -n '2,23s/^# \{0,1\}//p' "$0" >&2
  exit 2
fi
in=$1
out=$2
shift 2
mkdir -p "$out"

FF=(ffmpeg -nostdin -hide_banner -y -v error -stats)
KEY="[1:v]colorkey=0x00FF00:0.01:0[k]"

# job_cmd JOB: sets CMD to the job's ffmpeg command line.
job_cmd() {
  local sources=(-i "$in/main_720p.avi" -stream_loop -1 -i "$in/top_240p.avi")
  local keyed="$KEY;[0:v][k]overlay=x=100:y=50:shortest=1[v]"
  local keyedRgb="[0:v]format=bgr24[m];$KEY;[m][k]overlay=x=100:y=50:shortest=1:format=rgb[v]"
  local mjpeg=(-c:v mjpeg -q:v 3 -pix_fmt yuvj420p)
  local mapped=(-map "[v]" -map 0:a)
  case $1 in
    a) CMD=("${FF[@]}" "${sources[@]}" -filter_complex "$keyed" "${mapped[@]}" "${mjpeg[@]}" -c:a copy "$out/peer_a_ckey_720p_mjpeg.avi") ;;
    b) CMD=("${FF[@]}" -i "$in/main_1080p.avi" -stream_loop -1 -i "$in/top_240p.avi" -filter_complex "$keyed" "${mapped[@]}" "${mjpeg[@]}" -c:a copy "$out/peer_b_ckey_1080p_mjpeg.avi") ;;
    c) CMD=("${FF[@]}" "${sources[@]}" -filter_complex "[1:v]format=rgba,colorchannelmixer=aa=0.5[t];[0:v][t]overlay=x=100:y=50:shortest=1[v]" "${mapped[@]}" "${mjpeg[@]}" -c:a copy "$out/peer_c_alpha50_720p_mjpeg.avi") ;;
    d) CMD=("${FF[@]}" "${sources[@]}" -filter_complex "$keyed" "${mapped[@]}" -c:v ffv1 -c:a copy "$out/peer_d_ckey_720p_ffv1.avi") ;;
    drgb) CMD=("${FF[@]}" "${sources[@]}" -filter_complex "$keyedRgb" "${mapped[@]}" -c:v ffv1 -pix_fmt bgr0 -c:a copy "$out/peer_drgb_ckey_720p_ffv1rgb.avi") ;;
    e) CMD=("${FF[@]}" "${sources[@]}" -filter_complex "$keyed" "${mapped[@]}" -c:v rawvideo -pix_fmt bgr24 -c:a copy "$out/peer_e_ckey_720p_raw.avi") ;;
    argb) CMD=("${FF[@]}" "${sources[@]}" -filter_complex "$keyedRgb" "${mapped[@]}" "${mjpeg[@]}" -c:a copy "$out/peer_argb_ckey_720p_mjpeg.avi") ;;
    h264) CMD=("${FF[@]}" -i "$in/main_1080p_h264.mp4" -loop 1 -i "$in/logo_opaque.png" -filter_complex "[0:v][1:v]overlay=x=100:y=50:shortest=1[v]" -map "[v]" -map 0:a -c:v libx264 -preset medium -crf 23 -pix_fmt yuv420p -c:a copy "$out/peer_h264_logo_1080p.mp4") ;;
    vp9) CMD=("${FF[@]}" -i "$in/main_1080p_h264.mp4" -loop 1 -i "$in/logo_opaque.png" -filter_complex "[0:v][1:v]overlay=x=100:y=50:shortest=1[v]" -map "[v]" -map 0:a -c:v libvpx-vp9 -crf 32 -b:v 0 -deadline good -cpu-used 5 -row-mt 1 -pix_fmt yuv420p -c:a libopus "$out/peer_vp9_logo_1080p.webm") ;;
    drgb4k) CMD=("${FF[@]}" -i "$in/main_2160p.avi" -stream_loop -1 -i "$in/top_240p.avi" -filter_complex "[0:v]format=bgr24[m];$KEY;[m][k]overlay=x=100:y=50:shortest=1:format=rgb[v]" "${mapped[@]}" -c:v ffv1 -pix_fmt bgr0 -c:a copy "$out/peer_drgb_ckey_2160p_ffv1rgb.avi") ;;
    layers3) CMD=("${FF[@]}" -i "$in/main_1080p.avi" -loop 1 -i "$in/logo_alpha.png" -loop 1 -i "$in/third.png" -i "$in/pip_540p.avi" -filter_complex "[0:v][1:v]overlay=x=W-w-16:y=16:shortest=1[a];[a][2:v]overlay=x=0:y=860:enable='between(t,2,7)':shortest=1[b];[b][3:v]overlay=x=W-w-16:y=H-h-16:shortest=1[v]" "${mapped[@]}" "${mjpeg[@]}" -c:a copy "$out/peer_layers3_1080p_mjpeg.avi") ;;
    title10) CMD=("${FF[@]}" -i "$in/main_720p_10min.avi" -loop 1 -i "$in/logo_alpha.png" -filter_complex "[1:v]format=rgba,fade=t=in:st=300:d=0.5:alpha=1,fade=t=out:st=309.5:d=0.5:alpha=1[t];[0:v][t]overlay=x=(W-w)/2:y=(H-h)/2:enable='between(t,300,310)':shortest=1[v]" "${mapped[@]}" "${mjpeg[@]}" -c:a copy "$out/peer_title10_720p_mjpeg.avi") ;;
    title1080) CMD=("${FF[@]}" -i "$in/main_1080p_10min.mp4" -loop 1 -i "$in/logo_alpha.png" -filter_complex "[1:v]format=rgba,fade=t=in:st=300:d=0.5:alpha=1,fade=t=out:st=309.5:d=0.5:alpha=1[t];[0:v][t]overlay=x=(W-w)/2:y=(H-h)/2:enable='between(t,300,310)':shortest=1[v]" "${mapped[@]}" -c:v libx264 -preset medium -crf 23 -pix_fmt yuv420p -c:a copy "$out/peer_title1080_h264.mp4") ;;
    dec720) CMD=("${FF[@]}" -i "$in/main_720p.avi" -f null -) ;;
    dec1080) CMD=("${FF[@]}" -i "$in/main_1080p.avi" -f null -) ;;
    enc720) CMD=("${FF[@]}" -i "$in/main_720p.avi" -map 0:v -map 0:a -c:v mjpeg -q:v 3 -c:a copy "$out/enc_720p_mjpeg.avi") ;;
    enc1080) CMD=("${FF[@]}" -i "$in/main_1080p.avi" -map 0:v -map 0:a -c:v mjpeg -q:v 3 -c:a copy "$out/enc_1080p_mjpeg.avi") ;;
    *) echo "unknown job: $1" >&2; exit 2 ;;
  esac
}

if [ $# -eq 1 ]; then
  job_cmd "$1"
  exec "${CMD[@]}"
fi

[ $# -eq 0 ] && set -- a b c d drgb e argb dec720 dec1080 enc720 enc1080
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for job in "$@"; do
  job_cmd "$job"
  started=$(date +%s.%N)
  "${CMD[@]}" 2>"$log"
  ended=$(date +%s.%N)
  last=$(tr '\r' '\n' <"$log" | grep 'speed=' | tail -n 1 || true)
  frames=$(sed -n 's/.*frame= *\([0-9]*\).*/\1/p' <<<"$last")
  speed=$(sed -n 's/.*speed= *\([0-9.]*x\).*/\1/p' <<<"$last")
  printf '%-8s wall %6.2f s  frames %-4s speed %s\n' "$job" "$(echo "$ended - $started" | bc)" \
    "${frames:-?}" "${speed:-?}"
done
