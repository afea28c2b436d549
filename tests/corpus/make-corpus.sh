#!/usr/bin/env bash
# Writes the AVI test corpus listed in corpus.txt with three independent AVI writers: the ffmpeg
# command line, GStreamer (gst-launch-1.0) and MEncoder.
#
# Usage: make-corpus.sh DIR           the whole corpus; a DIR that already holds it, made by
#                                     this script with the same tool versions, is kept as it is
#        make-corpus.sh DIR NAME...   only the named files, each made where it is missing
#        make-corpus.sh --check DIR   fails, naming what is missing, unless DIR holds every file
#
# Files are made in a scratch folder beside DIR and moved in only when they are complete (and,
# for the whole corpus, when the raw files' exact pixels have been checked), so an interrupted
# run never leaves a file that looks finished. Nothing else in DIR is touched.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

usage() {
  sed -n '4,8s/^# \{0,1\}//p' "$0" >&2
  exit 2
}
say() { echo "make-corpus: $*" >&2; }

corpus_names() { sed -n 's/^\([A-Za-z0-9_]*\.avi\)[[:space:]].*/\1/p' "$here/corpus.txt"; }

check_dir() {
  local dir=$1 missing=()
  while read -r name; do [ -s "$dir/$name" ] || missing+=("$dir/$name"); done < <(corpus_names)
  if [ ${#missing[@]} -gt 0 ]; then
    say "the corpus is incomplete; missing: ${missing[*]}"
    return 1
  fi
}

# The tools each writer needs, with the Debian package that brings them.
need_tools() {
  local name want=()
  for name in "$@"; do
    case $name in
      gst_*) want+=(gst-launch-1.0:gstreamer1.0-tools gst-inspect-1.0:gstreamer1.0-tools) ;;
      men_*) want+=(mencoder:mencoder ffmpeg:ffmpeg) ;;
      *) want+=(ffmpeg:ffmpeg) ;;
    esac
  done
  want+=(python3:python3)
  local pair
  for pair in "${want[@]}"; do
    command -v "${pair%%:*}" >/dev/null ||
      { say "${pair%%:*} is missing (package ${pair#*:}; scripts/install-deps installs it)"; exit 1; }
  done
  if printf '%s\n' "$@" | grep -q '^gst_'; then
    local element
    for element in avimux x264enc lamemp3enc avenc_mpeg4 avenc_huffyuv videotestsrc; do
      gst-inspect-1.0 "$element" >/dev/null 2>&1 ||
        { say "GStreamer has no $element (scripts/install-deps installs the plugin packages)"; exit 1; }
    done
  fi
}

# What a corpus made now depends on: this folder's scripts and the writers' versions.
stamp() {
  {
    cat "$here/make-corpus.sh" "$here/corpus.txt" "$here/check_raw_patterns.py" "$here/riffwalk.py"
    ffmpeg -version 2>&1 | head -n 1 || true
    gst-launch-1.0 --version 2>&1 || true
    dpkg-query -W mencoder libx264-164 gstreamer1.0-plugins-ugly 2>/dev/null || true
  } | sha256sum | cut -d' ' -f1
}

FF=(ffmpeg -nostdin -hide_banner -loglevel error -y)
# Raw 24-bit pictures stored bottom-up: ffmpeg writes raw RGB top-down unless told otherwise,
# so the picture is flipped first and the rows written as they come.
RAW_BGR=(-fflags +bitexact -c:v rawvideo -pix_fmt bgr24 -flipped_raw_rgb 1)
# Pixel (x, y from the top, frame n) = (R, G, B) (x mod 256, y mod 256, 4n mod 256).
gradient() {
  echo "nullsrc=s=$1:r=$2:d=$3,format=gbrp,geq=r='mod(X,256)':g='mod(Y,256)':b='mod(4*N,256)',format=bgr24,vflip"
}

# MEncoder reads files only: its sources are made once per run in the scratch folder.
mencoder_sources() {
  local src=$scratch/sources
  [ -d "$src" ] && return
  mkdir "$src"
  "${FF[@]}" -f lavfi -i "testsrc2=s=176x144:r=25:d=1" -pix_fmt yuv420p "$src/176.y4m"
  "${FF[@]}" -f lavfi -i "testsrc=s=160x120:r=10:d=1" -pix_fmt yuv420p "$src/160.y4m"
  "${FF[@]}" -f lavfi -i "sine=f=440:r=44100:d=1" -ac 2 -c:a pcm_s16le "$src/s16.wav"
  "${FF[@]}" -f lavfi -i "sine=f=700:r=11025:d=1" -ac 1 -c:a pcm_u8 "$src/u8.wav"
}

mencoder_run() {
  local log=$scratch/mencoder.log
  mencoder "$@" >"$log" 2>&1 || { tail -n 20 "$log" >&2; return 1; }
}

# make_file NAME OUT: writes the corpus file NAME to the path OUT.
make_file() {
  local out=$2
  case $1 in
    main_320x240_bgr24_pcm.avi)
      "${FF[@]}" -f lavfi -i "$(gradient 320x240 30 2)" \
        -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t):s=44100:d=2" \
        "${RAW_BGR[@]}" -c:a pcm_s16le "$out" ;;
    top_160x120_bgr24_green.avi)
      # Key green with a red 16x16 square moving 4 px right and 3 px down a frame; inside it a
      # 4x4 patch one step from the key, (0,254,0), which an exact key must keep.
      "${FF[@]}" -f lavfi -i "color=c=0x00FF00:s=160x120:r=30:d=1,format=bgra[bg];color=c=0xFF0000:s=16x16:r=30:d=1,format=bgra[sq];color=c=0x00FE00:s=4x4:r=30:d=1,format=bgra[ng];[sq][ng]overlay=x=6:y=6:format=rgb[sq2];[bg][sq2]overlay=x='8+n*4':y='8+n*3':format=rgb:eval=frame,format=bgr24,vflip" \
        "${RAW_BGR[@]}" -frames:v 30 "$out" ;;
    ff_bgr24_321x241.avi) "${FF[@]}" -f lavfi -i "$(gradient 321x241 10 0.3)" "${RAW_BGR[@]}" "$out" ;;
    ff_bgr24_5x3.avi) "${FF[@]}" -f lavfi -i "$(gradient 5x3 10 1)" "${RAW_BGR[@]}" "$out" ;;
    ff_bgr24_1x1.avi) "${FF[@]}" -f lavfi -i "$(gradient 1x1 10 1)" "${RAW_BGR[@]}" "$out" ;;
    ff_bgr24_64x48_dibhandler.avi)
      "${FF[@]}" -f lavfi -i "$(gradient 64x48 10 1)" "${RAW_BGR[@]}" "$out"
      # The handler the Windows AVI services give raw video: strh fccHandler becomes 'DIB '.
      python3 - "$out" <<'EOF'
import sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
at = data.index(b"strh")  # 'strh' size fccType fccHandler
assert data[at + 8:at + 12] == b"vids"
data[at + 12:at + 16] = b"DIB "
open(path, "wb").write(data)
EOF
      ;;
    ff_pal8_61x45.avi)
      "${FF[@]}" -f lavfi -i "testsrc2=s=64x48:r=10:d=1,crop=61:45:0:0,split[a][b];[a]palettegen=max_colors=32:stats_mode=full[p];[b][p]paletteuse=dither=none,vflip" \
        -fflags +bitexact -c:v rawvideo -pix_fmt pal8 -flipped_raw_rgb 1 "$out" ;;
    ff_mjpeg_321x241_pcmu8.avi)
      "${FF[@]}" -f lavfi -i "testsrc=s=321x241:r=10:d=1" -f lavfi -i "sine=f=500:r=11025:d=1" \
        -fflags +bitexact -c:v mjpeg -q:v 5 -pix_fmt yuvj420p -c:a pcm_u8 -ac 1 "$out" ;;
    ff_mjpeg_5x3.avi | ff_mjpeg_1x1.avi)
      local size=${1#ff_mjpeg_}
      "${FF[@]}" -f lavfi -i "testsrc=s=${size%.avi}:r=10:d=1" \
        -fflags +bitexact -c:v mjpeg -q:v 5 -pix_fmt yuvj420p "$out" ;;
    ff_mpeg4_bframes_mp3cbr.avi)
      "${FF[@]}" -f lavfi -i "testsrc2=s=176x144:r=25:d=1" -f lavfi -i "sine=f=440:r=44100:d=1" \
        -fflags +bitexact -c:v mpeg4 -q:v 4 -bf 2 -g 12 -vtag XVID -c:a libmp3lame -b:a 128k -ac 2 \
        "$out" ;;
    ff_h264_adpcm_ms.avi)
      "${FF[@]}" -f lavfi -i "testsrc2=s=176x144:r=25:d=1" -f lavfi -i "sine=f=440:r=22050:d=1" \
        -fflags +bitexact -c:v libx264 -preset medium -crf 28 -bf 2 -g 12 -threads 1 \
        -pix_fmt yuv420p -c:a adpcm_ms -ac 2 "$out" ;;
    ff_huffyuv_rgb_adpcm_ima.avi)
      "${FF[@]}" -f lavfi -i "testsrc=s=160x120:r=10:d=0.5" -f lavfi -i "sine=f=440:r=22050:d=0.5" \
        -fflags +bitexact -c:v huffyuv -pix_fmt bgr24 -c:a adpcm_ima_wav -ac 1 "$out" ;;
    ff_ffv1_161x121.avi)
      "${FF[@]}" -f lavfi -i "testsrc=s=161x121:r=10:d=1" \
        -fflags +bitexact -c:v ffv1 -level 3 -g 1 -pix_fmt bgr0 "$out" ;;
    ff_dv_pal_pcm48k.avi)
      "${FF[@]}" -f lavfi -i "testsrc2=s=720x576:r=25:d=0.2" -f lavfi -i "sine=f=440:r=48000:d=0.2" \
        -fflags +bitexact -c:v dvvideo -pix_fmt yuv420p -c:a pcm_s16le -ac 2 "$out" ;;
    ff_mjpeg_mp3vbr.avi)
      "${FF[@]}" -f lavfi -i "testsrc2=s=160x120:r=15:d=1" -f lavfi -i "sine=f=330:r=44100:d=1" \
        -fflags +bitexact -c:v mjpeg -q:v 5 -c:a libmp3lame -q:a 4 -ac 2 "$out" ;;
    ff_audio_only_pcm.avi)
      "${FF[@]}" -f lavfi -i "aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*660*t):s=44100:d=1" \
        -fflags +bitexact -c:a pcm_s16le "$out" ;;
    ff_mjpeg_zero_length_frames.avi)
      # Frames 3 to 5 dropped with their timestamps kept: the muxer writes empty chunks for them.
      "${FF[@]}" -f lavfi -i "testsrc=s=64x48:r=10:d=1.2,select='not(between(n\,3\,5))'" \
        -f lavfi -i "sine=f=440:r=22050:d=1.2" \
        -fflags +bitexact -fps_mode passthrough -c:v mjpeg -q:v 5 -c:a pcm_s16le "$out" ;;
    gst_bgr_161x121.avi)
      gst-launch-1.0 -q videotestsrc num-buffers=4 pattern=smpte \
        ! video/x-raw,format=BGR,width=161,height=121,framerate=10/1 \
        ! avimux ! filesink location="$out" ;;
    gst_h264_mp3cbr.avi)
      gst-launch-1.0 -q avimux name=mux ! filesink location="$out" \
        videotestsrc num-buffers=25 pattern=ball \
        ! video/x-raw,format=I420,width=176,height=144,framerate=25/1 \
        ! x264enc bitrate=300 bframes=2 key-int-max=12 ! video/x-h264,profile=main ! h264parse ! mux. \
        audiotestsrc num-buffers=44 samplesperbuffer=1024 freq=440 ! audio/x-raw,rate=44100,channels=2 \
        ! lamemp3enc target=bitrate bitrate=128 cbr=true ! mpegaudioparse ! mux. ;;
    gst_mpeg4_bframes_pcmu8.avi)
      gst-launch-1.0 -q avimux name=mux ! filesink location="$out" \
        videotestsrc num-buffers=20 pattern=smpte \
        ! video/x-raw,format=I420,width=160,height=120,framerate=20/1 \
        ! avenc_mpeg4 max-bframes=2 gop-size=10 bitrate=200000 ! mux. \
        audiotestsrc num-buffers=10 samplesperbuffer=800 freq=300 \
        ! audio/x-raw,format=U8,rate=8000,channels=1 ! mux. ;;
    gst_huffyuv_yuv422_pcm.avi)
      gst-launch-1.0 -q avimux name=mux ! filesink location="$out" \
        videotestsrc num-buffers=6 pattern=smpte \
        ! video/x-raw,format=Y42B,width=160,height=120,framerate=12/1 ! avenc_huffyuv ! mux. \
        audiotestsrc num-buffers=5 samplesperbuffer=4410 freq=550 \
        ! audio/x-raw,format=S16LE,rate=44100,channels=2 ! mux. ;;
    gst_audio_only_mp3vbr.avi)
      gst-launch-1.0 -q avimux name=mux ! filesink location="$out" \
        audiotestsrc num-buffers=30 samplesperbuffer=1470 freq=440 ! audio/x-raw,rate=44100,channels=2 \
        ! lamemp3enc target=quality quality=4 ! mpegaudioparse ! mux. ;;
    men_mpeg4_bframes_mp3cbr.avi)
      mencoder_sources
      mencoder_run "$scratch/sources/176.y4m" -audiofile "$scratch/sources/s16.wav" \
        -ovc lavc -lavcopts vcodec=mpeg4:vqscale=4:vmax_b_frames=2:keyint=12 \
        -oac mp3lame -lameopts cbr:br=128 -o "$out" ;;
    men_mjpeg_dupframes_pcmu8.avi)
      # Twice the source's rate: every second chunk is an empty duplicate. The u8 audio is
      # copied as it is (-oac pcm would make it s16).
      mencoder_sources
      mencoder_run "$scratch/sources/160.y4m" -audiofile "$scratch/sources/u8.wav" -ofps 20 \
        -ovc lavc -lavcopts vcodec=mjpeg -oac copy -o "$out" ;;
    men_h264_pcm.avi)
      mencoder_sources
      mencoder_run "$scratch/sources/176.y4m" -audiofile "$scratch/sources/s16.wav" \
        -ovc x264 -x264encopts crf=28:bframes=2:keyint=12:threads=1 -oac pcm -o "$out" ;;
    *)
      say "corpus.txt lists $1, but nothing here makes it"
      return 2 ;;
  esac
  [ -s "$out" ] || { say "$1 was not written"; return 1; }
}

[ $# -ge 1 ] || usage
if [ "$1" = --check ]; then
  [ $# -eq 2 ] || usage
  check_dir "$2"
  exit
fi
case $1 in -*) usage ;; esac

dir=$1
shift
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
whole=no
if [ $# -eq 0 ]; then
  whole=yes
  mapfile -t wanted < <(corpus_names)
  want_stamp=$(stamp)
  if [ -f "$dir/.corpus-stamp" ] && [ "$(cat "$dir/.corpus-stamp")" = "$want_stamp" ] &&
    check_dir "$dir" 2>/dev/null; then
    say "$dir holds the corpus already (${#wanted[@]} files)"
    exit 0
  fi
else
  wanted=()
  for name in "$@"; do
    corpus_names | grep -qxF "$name" || { say "no such corpus file: $name (corpus.txt lists them)"; exit 2; }
    [ -s "$dir/$name" ] || wanted+=("$name")
  done
  [ ${#wanted[@]} -gt 0 ] || exit 0
fi

need_tools "${wanted[@]}"
scratch=$(mktemp -d "$dir/.making.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
started=$SECONDS
for name in "${wanted[@]}"; do
  make_file "$name" "$scratch/$name" || { say "could not make $name"; exit 1; }
done
if [ $whole = yes ]; then
  python3 "$here/check_raw_patterns.py" "$scratch" >"$scratch/patterns.log" ||
    { cat "$scratch/patterns.log" >&2; say "the raw files' pixels are not the expected ones"; exit 1; }
  rm -f "$dir/.corpus-stamp"
fi
for name in "${wanted[@]}"; do mv -f "$scratch/$name" "$dir/$name"; done
[ $whole = yes ] && echo "$want_stamp" >"$dir/.corpus-stamp"
say "wrote ${#wanted[@]} files into $dir in $((SECONDS - started)) s"
