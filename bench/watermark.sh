#!/usr/bin/env bash
# watermark.sh [PAIRS]
#
# What resizing a still logo costs a mix: the 1080p Motion JPEG main of make-inputs.sh with a
# 500x500 PNG logo keyed on magenta resized to half in the bottom-right corner (resized once,
# then laid on as a picture with alpha), against the same logo drawn at 250x250 and mixed at its
# own size at the same place, so that the encoder sees the same pictures; into Motion JPEG as
# in J2. A warm-up pair, then PAIRS alternating pairs (default 5); prints the
# median wall and CPU times of each and the median of the pairwise ratios scaled/unscaled.
#
# Environment: CORVANE_BUILD (default build), BENCH_DIR (default /tmp/corvane-bench).
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVANE_BUILD:-$here/build}
dir=${BENCH_DIR:-/tmp/corvane-bench}
pairs=${1:-5}
mix=$build/cli/corvane-mix
[ -x "$mix" ] || { echo "build corvane-mix first ($mix)" >&2; exit 2; }
mkdir -p "$dir/in" "$dir/out"
"$here/bench/make-inputs.sh" "$dir/in" >/dev/null
logo=$dir/in/logo_500.png
[ -s "$logo" ] || ffmpeg -nostdin -v error -y -f lavfi -i "color=c=magenta:s=500x500,format=rgb24" \
  -vf "geq=r='255':g='if(lt(hypot(X-250,Y-250),220),255,0)':b='255'" -frames:v 1 "$logo"
small=$dir/in/logo_250.png
[ -s "$small" ] || ffmpeg -nostdin -v error -y -f lavfi -i "color=c=magenta:s=250x250,format=rgb24" \
  -vf "geq=r='255':g='if(lt(hypot(X-125,Y-125),110),255,0)':b='255'" -frames:v 1 "$small"
quality=$("$mix" --list-codecs | sed -n 's/.*q:v 3 *= *--quality *\([0-9]*\).*/\1/p' | head -1)
common=(--overwrite --key 255,0,255 --codec mjpeg --quality "$quality")
plain=("$mix" "${common[@]}" --corner br "$dir/in/main_1080p.avi" "$small" "$dir/out/logo_plain.avi")
scaled=("$mix" "${common[@]}" --corner br --scale 50% "$dir/in/main_1080p.avi" "$logo"
  "$dir/out/logo_scaled.avi")

measure() {
  local log=$1
  shift
  /usr/bin/time -f '%e %U %S' -o "$dir/time.txt" "$@" >/dev/null 2>&1
  awk '{ printf "%s %.2f\n", $1, $2 + $3 }' "$dir/time.txt" >>"$log"
}
median() { sort -g | awk '{ a[NR] = $1 } END { if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

rm -f "$dir/logo.plain" "$dir/logo.scaled"
"${plain[@]}" >/dev/null 2>&1; "${scaled[@]}" >/dev/null 2>&1
for ((i = 0; i < pairs; i++)); do
  measure "$dir/logo.plain" "${plain[@]}"
  measure "$dir/logo.scaled" "${scaled[@]}"
done
ratio=$(paste -d' ' <(cut -d' ' -f1 "$dir/logo.scaled") <(cut -d' ' -f1 "$dir/logo.plain") |
  awk '{ print $1 / $2 }' | median)
printf '%-8s %8s %8s\n' mix wall_s cpu_s
printf '%-8s %8.3f %8.2f\n' unscaled "$(cut -d' ' -f1 "$dir/logo.plain" | median)" \
  "$(cut -d' ' -f2 "$dir/logo.plain" | median)"
printf '%-8s %8.3f %8.2f\n' scaled "$(cut -d' ' -f1 "$dir/logo.scaled" | median)" \
  "$(cut -d' ' -f2 "$dir/logo.scaled" | median)"
echo "scaled / unscaled (median of pairs): $ratio"
