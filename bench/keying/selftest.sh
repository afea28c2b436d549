#!/usr/bin/env bash
# selftest.sh [DIR]
#
# Checks the benchmark's own tools on the small clip (a few seconds): the set is the same for
# the same seed; score.py gives the true composite, rounded and coded as RGB FFV1, no more
# than rounding error and the main alone a large one; it refuses a video one frame short or
# of another size. DIR (default a temporary folder) keeps the files. Exit status 1 on failure.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
py=${PYTHON:-/usr/bin/python3}
[ -x "$py" ] || py=python3
if [ $# -ge 1 ]; then
  dir=$1
  mkdir -p "$dir"
else
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
fi
fail() { echo "selftest: FAIL: $*" >&2; exit 1; }
FF=(ffmpeg -nostdin -v error -y)

"$py" "$here/make-keyset.py" "$dir/a" --small --force >/dev/null
"$py" "$here/make-keyset.py" "$dir/b" --small --force >/dev/null
clip=$dir/a/studio_green
for f in top_crf18.mp4 top_crf28.mp4 main.mkv alpha.f32 fg.f32; do
  cmp -s "$clip/$f" "$dir/b/studio_green/$f" || fail "$f differs between two runs"
done

# the true composite, rounded to 8 bits
KEYING_DIR=$here "$py" -B -c '
import os, sys
sys.path.insert(0, os.environ["KEYING_DIR"])
import numpy as np, score
meta, truth, label = score.load_clip(sys.argv[1])
np.clip(np.round(truth), 0, 255).astype(np.uint8).tofile(sys.argv[2])
print(meta["width"], meta["height"], meta["fps"])' "$clip" "$dir/truth.rgb" >"$dir/size"
read -r w h fps <"$dir/size"
raw=(-f rawvideo -pix_fmt rgb24 -s "${w}x$h" -r "$fps" -i "$dir/truth.rgb")
"${FF[@]}" "${raw[@]}" -c:v ffv1 -pix_fmt bgr0 "$dir/truth.mkv"
"${FF[@]}" "${raw[@]}" -frames:v 5 -c:v ffv1 -pix_fmt bgr0 "$dir/short.mkv"
"${FF[@]}" "${raw[@]}" -vf scale=$((w / 2)):$((h / 2)) -c:v ffv1 -pix_fmt bgr0 "$dir/half.mkv"

# check JSON REGION OP LIMIT: the region's mean error against a limit
check() {
  "$py" -c '
import json, sys
r = json.load(open(sys.argv[1]))["regions"][sys.argv[2]]["mae"]
ok = r <= float(sys.argv[4]) if sys.argv[3] == "le" else r > float(sys.argv[4])
print(f"{sys.argv[1].rsplit(chr(47), 1)[-1]}: {sys.argv[2]} {r:.3f} ({sys.argv[3]} {sys.argv[4]})")
sys.exit(0 if ok else 1)' "$@" || fail "$*"
}
"$py" "$here/score.py" "$clip" "$dir/truth.mkv" --json >"$dir/truth.json"
for region in edge screen subject all; do check "$dir/truth.json" $region le 0.3; done
check "$dir/truth.json" screen le 0
"$py" "$here/score.py" "$clip" "$clip/main.mkv" --json >"$dir/main.json"
check "$dir/main.json" subject gt 20
check "$dir/main.json" edge gt 10
"$py" "$here/score.py" "$clip" "$clip/top_crf18.mp4" --json >"$dir/top.json"
check "$dir/top.json" screen gt 20
for bad in short half; do
  if "$py" "$here/score.py" "$clip" "$dir/$bad.mkv" 2>"$dir/$bad.err"; then
    fail "score.py accepted $bad.mkv"
  fi
  echo "$bad.mkv refused: $(cat "$dir/$bad.err")"
done
echo "selftest: all passed"
