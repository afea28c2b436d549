#!/usr/bin/env bash
# Mixes into MP4 (H.264 + AAC, kept from an MP4 main and made from a PCM main) and WebM (VP9 +
# Opus), an MP4 mix killed part way, and H.264 and VP9 mixes that copy the main's groups of
# pictures where a red logo does not show, then has headless Chromium play each: its first frame
# at the mix's size, the duration ffprobe reads, a seek to the last second played to the end
# without a media error, and sound decoded. The copying mixes are first sought into the encoded
# part (the logo is there) and out of it to a copied part on either side (it is not). An H.264
# mix made in three parts and joined is sought into each part (the logo is in all of them).
# Usage: mixes-play.sh BUILD_FOLDER CORPUS_FOLDER
set -euo pipefail
build="$1"
corpus="$2"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=640x360:r=25:d=3 -f lavfi -i sine=d=3 \
  -c:v libx264 -bf 2 -pix_fmt yuv420p -c:a aac "$work/phone.mp4"
top="$corpus/top_160x120_bgr24_green.avi"
mix() { "$build/cli/corvane-mix" --key 0,255,0 --at 40,30 "$1" "$top" "$2" 2>"$2.log"; }
mix "$work/phone.mp4" "$work/kept.mp4"
mix "$corpus/main_320x240_bgr24_pcm.avi" "$work/made.mp4"
mix "$work/phone.mp4" "$work/phone.webm"
mix "$corpus/main_320x240_bgr24_pcm.avi" "$work/pcm.webm"

# Copying: the logo from 3 s to 4 s touches one group of two seconds.
ffmpeg -nostdin -v error -f lavfi -i color=c=red:s=48x48 -frames:v 1 "$work/red.png"
for coding in "mp4 -c:v libx264 -bf 2 -c:a aac" "webm -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -c:a libopus"; do
  set -- $coding
  ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=640x360:r=25:d=8 -f lavfi -i sine=d=8:sample_rate=48000 \
    "${@:2}" -g 50 -pix_fmt yuv420p "$work/talk.$1"
  "$build/cli/corvane-mix" --at 300,160 --from 3 --to 4 "$work/talk.$1" "$work/red.png" \
    "$work/smart.$1" 2>"$work/smart.$1.log"
  grep -q '(150 copied, 50 encoded)' "$work/smart.$1.log" || { cat "$work/smart.$1.log"; exit 1; }
done

# The same talk with the logo throughout, mixed in three parts (cut on its key frames) and joined.
joins=()
for part in 1 2 3; do
  "$build/cli/corvane-mix" --segment "$part/3" --at 300,160 "$work/talk.mp4" "$work/red.png" \
    "$work/part$part.mp4" 2>"$work/part$part.log" || { cat "$work/part$part.log"; exit 1; }
  joins+=(--join "$work/part$part.mp4")
done
"$build/cli/corvane-mix" "${joins[@]}" "$work/talk.mp4" "$work/joined.mp4" 2>"$work/joined.log" ||
  { cat "$work/joined.log"; exit 1; }

# A mix killed part way: its MP4, written in fragments, plays as far as it got.
ffmpeg -nostdin -v error -f lavfi -i testsrc2=s=640x360:r=25:d=30 -f lavfi -i sine=d=30 \
  -c:v libx264 -preset ultrafast -bf 2 -pix_fmt yuv420p -c:a aac "$work/long.mp4"
"$build/cli/corvane-mix" --key 0,255,0 "$work/long.mp4" "$top" "$work/killed.mp4" \
  2>"$work/killed.log" &
mixer=$!
for _ in $(seq 600); do
  grep -q ' [5-9][0-9] in the file\| [1-9][0-9][0-9] in the file' "$work/killed.log" && break
  sleep 0.1
done
kill -KILL "$mixer"
wait "$mixer" 2>/dev/null || true
# Still in fragments: the mix did not get to its end.
grep -q moof "$work/killed.mp4" || { echo "killed.mp4: the mix ended before the kill"; exit 1; }

"$here/playcheck.py" "$work/kept.mp4" "$work/made.mp4" "$work/phone.webm" "$work/pcm.webm" \
  "$work/killed.mp4" "$work/smart.mp4@3.5:330:200@6.5:330:200@1:330:200" \
  "$work/smart.webm@3.5:330:200@6.5:330:200@1:330:200" \
  "$work/joined.mp4@1:330:200@3.5:330:200@6.5:330:200" >"$work/played.json"
status=0
while read -r line; do
  file="$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["file"])' "$line")"
  size="$(ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=s=x:p=0 "$file")"
  duration="$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$file")"
  if ! python3 - "$line" "$size" "$duration" <<'PY'; then
import json, sys
played = json.loads(sys.argv[1])
width, height = map(int, sys.argv[2].split("x"))
problems = []
if "error" in played or "playError" in played:
    problems.append("media error: %s" % played.get("error", played.get("playError")))
if (played.get("width"), played.get("height")) != (width, height):
    problems.append("picture %sx%s, ffprobe %dx%d" % (played.get("width"), played.get("height"),
                                                      width, height))
# A killed file's index holds no length: the browser learns it as it plays.
fragmented = played["file"].rsplit("/", 1)[-1].startswith("killed")
if not fragmented and abs(played.get("duration", 0) - float(sys.argv[3])) > 0.1:
    problems.append("duration %s, ffprobe %s" % (played.get("duration"), sys.argv[3]))
if played.get("ended") and abs(played.get("endedAt", 0) - float(sys.argv[3])) > 0.1:
    problems.append("ended at %s, ffprobe %s" % (played.get("endedAt"), sys.argv[3]))
if not played.get("ended"):
    problems.append("did not play to the end")
if not played.get("audioBytes"):
    problems.append("no sound decoded")
# Sought into the encoded part, the logo is there; out of it, the main's own picture.
if played["file"].rsplit("/", 1)[-1].startswith("smart"):
    red = [r > 180 and g < 80 and b < 80 for r, g, b in played.get("probed", [])]
    if red != [True, False, False]:
        problems.append("after the seeks the pixels were %s" % played.get("probed"))
if played["file"].rsplit("/", 1)[-1].startswith("joined"):
    red = [r > 180 and g < 80 and b < 80 for r, g, b in played.get("probed", [])]
    if red != [True, True, True]:
        problems.append("after the seeks into each part the pixels were %s" % played.get("probed"))
print("%s: %s" % (played["file"].rsplit("/", 1)[-1], "; ".join(problems) or "plays"))
sys.exit(1 if problems else 0)
PY
    status=1
  fi
done <"$work/played.json"
[ "$(wc -l <"$work/played.json")" -eq 8 ] || { echo "expected 8 results"; status=1; }
exit "$status"
