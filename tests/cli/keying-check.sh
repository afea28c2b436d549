#!/usr/bin/env bash
# keying-check.sh BUILD_DIR: the screen keyer on the small clip of the keying set (made here by
# bench/keying/make-keyset.py), scored against its known matte by bench/keying/score.py after
# that scorer has passed its own checks. The bounds hold today's errors with a margin: a keyer
# that only keys, leaving the screen's share at the edges, scores above 20 at the edges. The
# preview of a frame must be that frame of the mix. Exit 77 (skipped) without numpy.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")/../.." && pwd)
py=/usr/bin/python3
[ -x "$py" ] || py=python3
"$py" -c 'import numpy' 2>/dev/null || { echo "keying-check: no numpy: skipped"; exit 77; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mix=$build/cli/corvane-mix

PYTHON=$py "$here/bench/keying/selftest.sh" "$dir/self" >/dev/null
"$py" "$here/bench/keying/make-keyset.py" "$dir" --small >/dev/null
clip=$dir/studio_green
status=0
# crf edge screen subject: the most each region may be off, in 8-bit levels
while read -r crf edge screen subject; do
  "$mix" --keyer screen --key auto --codec ffv1 "$clip/main.mkv" "$clip/top_crf$crf.mp4" \
    "$dir/out$crf.mkv" </dev/null 2>"$dir/log$crf.txt" || { cat "$dir/log$crf.txt"; exit 1; }
  "$py" "$here/bench/keying/score.py" "$clip" "$dir/out$crf.mkv" --json >"$dir/score$crf.json"
  "$py" - "$dir/score$crf.json" "$crf" "$edge" "$screen" "$subject" <<'PY' || status=1
import json, sys
scores = json.load(open(sys.argv[1]))["regions"]
crf, bounds = sys.argv[2], dict(zip(("edge", "screen", "subject"), map(float, sys.argv[3:6])))
failed = False
for region, bound in bounds.items():
    got = scores[region]["mae"]
    print(f"crf {crf} {region}: {got:.3f} (at most {bound})")
    failed |= got > bound
sys.exit(1 if failed else 0)
PY
done <<'BOUNDS'
18 10.5 0.5 4.0
28 13.0 0.5 5.0
BOUNDS

# The preview of frame 3 is frame 3 of the mix, byte for byte: the screen keyer alone, in the
# alpha mix resized into a corner and fading in, with a fixed key and levels, and the None keyer.
while read -r options; do
  # shellcheck disable=SC2086
  "$mix" --overwrite $options --codec ffv1 "$clip/main.mkv" "$clip/top_crf18.mp4" \
    "$dir/variant.mkv" </dev/null >/dev/null 2>&1 || { echo "keying-check: mix failed: $options"; status=1; continue; }
  # shellcheck disable=SC2086
  "$mix" --overwrite $options --preview-frame 3 "$clip/main.mkv" "$clip/top_crf18.mp4" \
    "$dir/frame3.png" </dev/null >/dev/null 2>&1 || { echo "keying-check: preview failed: $options"; status=1; continue; }
  preview=$(ffmpeg -nostdin -v error -i "$dir/frame3.png" -f rawvideo -pix_fmt rgb24 - | md5sum)
  mixed=$(ffmpeg -nostdin -v error -i "$dir/variant.mkv" -vf "select=eq(n\,3)" -frames:v 1 -f rawvideo \
    -pix_fmt rgb24 - | md5sum)
  if [ "$preview" != "$mixed" ]; then
    echo "keying-check: the preview of frame 3 is not the mix's frame 3 with $options"
    status=1
  fi
done <<'VARIANTS'
--keyer screen --key auto
--keyer screen --key auto --mode alpha --alpha 64 --scale 50% --corner br --fade-in 0.3
--keyer screen --key 0,177,64 --tolerance 12 --softness 70 --despill 40
--keyer none --mode alpha --alpha 100
VARIANTS
exit $status
