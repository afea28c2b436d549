#!/usr/bin/env bash
# make-inputs.sh DIR
#
# Writes the benchmark inputs into DIR with the ffmpeg command line (about 5 s on 2 cores).
# Inputs already there are kept.
#   main_720p.avi   1280x720, 25 fps, 250 frames (10 s), Motion JPEG -q:v 3 of testsrc2,
#                   PCM s16le 48 kHz stereo (440 Hz left, 660 Hz right)
#   main_1080p.avi  the same at 1920x1080
#   main_1080p_h264.mp4  1920x1080 testsrc2, 25 fps, 10 s, H.264 (x264 medium, CRF 18) + AAC
#   main_1080p_60s.avi  main_1080p.avi's picture and tone for 60 s, 1500 frames (segments.sh)
#   main_1080p_h264_g50.mp4  the same for 20 s with a key frame every 50 frames (segments.sh)
#   logo_opaque.png 400x160 picture without an alpha channel (testsrc)
#   logo_alpha.png  240x120 RGBA: a disc with a soft rim on transparency (J12)
#   third.png       1920x180 opaque lower third (J12)
#   pip_540p.avi    960x540 testsrc, 25 fps, 10 s, Motion JPEG -q:v 3, video only (J12)
#   main_2160p.avi  3840x2160, 25 fps, 10 s, Motion JPEG -q:v 3 with the PCM tone (only when
#                   CORVANE_BENCH_4K=1: about 300 MB)
#   main_720p_10min.avi  main_720p.avi's picture and tone for 10 minutes, 15000 frames (only
#                   when CORVANE_BENCH_LONG=1: about 1 GB; J10)
#   main_1080p_10min.mp4  1920x1080 testsrc2, 25 fps, 10 minutes, H.264 (x264 veryfast, CRF 23,
#                   its default groups: up to 250 frames, B-frames) + AAC (only when
#                   CORVANE_BENCH_LONG=1; J9)
#   top_240p.avi    320x240, 25 fps, 100 frames (4 s), raw 24-bit BGR (lossless, so the key
#                   colour survives exactly), video only: pure green (0,255,0) with a 96x72
#                   testsrc2 picture moving 2 px right and 1 px down a frame
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
command -v ffmpeg >/dev/null || { echo "make-inputs: ffmpeg is missing (scripts/install-deps)" >&2; exit 1; }
dir=$1
mkdir -p "$dir"
FF=(ffmpeg -nostdin -hide_banner -loglevel error -y)
tone="aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t):s=48000:d=10"

# make NAME ARGS...: runs ffmpeg into a scratch name and renames it when complete.
make() {
  local name=$1
  shift
  [ -s "$dir/$name" ] && return
  "${FF[@]}" "$@" "$dir/.$name.part.avi"
  mv -f "$dir/.$name.part.avi" "$dir/$name"
}

for size in 1280x720:720p 1920x1080:1080p; do
  make "main_${size#*:}.avi" -f lavfi -i "testsrc2=s=${size%:*}:r=25:d=10" -f lavfi -i "$tone" \
    -c:v mjpeg -q:v 3 -pix_fmt yuvj420p -c:a pcm_s16le
done
make top_240p.avi -f lavfi \
  -i "color=c=0x00FF00:s=320x240:r=25:d=4,format=gbrp[bg];testsrc2=s=96x72:r=25:d=4,format=gbrp[fg];[bg][fg]overlay=x='20+2*n':y='30+n':eval=frame:format=gbrp" \
  -frames:v 100 -c:v rawvideo -pix_fmt bgr24 -flipped_raw_rgb 1

for f in main_720p.avi main_1080p.avi top_240p.avi; do
  printf '%s: ' "$f"
  ffprobe -v error -count_packets \
    -show_entries stream=codec_name,width,height,r_frame_rate,nb_read_packets,sample_rate,channels \
    -of compact=p=0:nk=0 "$dir/$f" | tr '\n' ' '
  echo "($(stat -c %s "$dir/$f") bytes)"
done
[ -s "$dir/main_1080p_h264.mp4" ] || "${FF[@]}" -f lavfi -i "testsrc2=s=1920x1080:r=25:d=10" \
  -f lavfi -i "$tone" -c:v libx264 -preset medium -crf 18 -pix_fmt yuv420p -c:a aac -b:a 128k \
  "$dir/main_1080p_h264.mp4"
make main_1080p_60s.avi -f lavfi -i "testsrc2=s=1920x1080:r=25:d=60" -f lavfi \
  -i "${tone%:d=10}:d=60" -c:v mjpeg -q:v 3 -pix_fmt yuvj420p -c:a pcm_s16le
[ -s "$dir/main_1080p_h264_g50.mp4" ] || "${FF[@]}" -f lavfi -i "testsrc2=s=1920x1080:r=25:d=20" \
  -f lavfi -i "${tone%:d=10}:d=20" -c:v libx264 -preset medium -crf 18 -g 50 -pix_fmt yuv420p \
  -c:a aac -b:a 128k "$dir/main_1080p_h264_g50.mp4"
[ -s "$dir/logo_opaque.png" ] || "${FF[@]}" -f lavfi -i "testsrc=s=400x160" -frames:v 1 \
  -pix_fmt rgb24 "$dir/logo_opaque.png"
# J12's layers: a logo with its own alpha, a lower third and a quarter-screen clip.
[ -s "$dir/logo_alpha.png" ] || "${FF[@]}" -f lavfi -i "nullsrc=s=240x120,format=rgba" \
  -vf "geq=r='X':g='128':b='Y*2':a='if(lt(hypot(X-120,Y-60),55),255,if(lt(hypot(X-120,Y-60),60),128,0))'" \
  -frames:v 1 "$dir/logo_alpha.png"
[ -s "$dir/third.png" ] || "${FF[@]}" -f lavfi -i "color=c=0x203060:s=1920x180" -frames:v 1 \
  -pix_fmt rgb24 "$dir/third.png"
make pip_540p.avi -f lavfi -i "testsrc=s=960x540:r=25:d=10" -c:v mjpeg -q:v 3 -pix_fmt yuvj420p
if [ "${CORVANE_BENCH_LONG:-0}" = 1 ]; then
  make main_720p_10min.avi -f lavfi -i "testsrc2=s=1280x720:r=25:d=600" -f lavfi \
    -i "${tone%:d=10}:d=600" -c:v mjpeg -q:v 3 -pix_fmt yuvj420p -c:a pcm_s16le
  if [ ! -s "$dir/main_1080p_10min.mp4" ]; then
    "${FF[@]}" -f lavfi -i "testsrc2=s=1920x1080:r=25:d=600" -f lavfi -i "${tone%:d=10}:d=600" \
      -c:v libx264 -preset veryfast -crf 23 -pix_fmt yuv420p -c:a aac -b:a 128k \
      "$dir/.main_1080p_10min.part.mp4"
    mv -f "$dir/.main_1080p_10min.part.mp4" "$dir/main_1080p_10min.mp4"
  fi
fi
if [ "${CORVANE_BENCH_4K:-0}" = 1 ]; then
  make main_2160p.avi -f lavfi -i "testsrc2=s=3840x2160:r=25:d=10" -f lavfi -i "$tone" \
    -c:v mjpeg -q:v 3 -pix_fmt yuvj420p -c:a pcm_s16le
fi
