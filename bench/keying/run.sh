#!/usr/bin/env bash
# run.sh
#
# The screen-keyer benchmark: makes the synthetic clips (make-keyset.py), keys every clip at
# every CRF with corvane-mix onto its main, scores the outputs (score.py), runs the ffmpeg
# sweep (peer-sweep.py) and prints the table with the targets (report.py), also written to
# KEYSET_DIR/report.md. Exit status 1 when a target is missed or one of our mixes failed.
#
# Environment:
#   KEYSET_DIR     where the clips and all outputs go (default /tmp/corvane-keyset)
#   KEYSET_ARGS    more options for make-keyset.py, e.g. "--clips seen" or "--small"
#   CORVANE_BUILD  build folder holding cli/corvane-mix (default build)
#   OURS_CMD       our keyer's command; MAIN TOP OUTPUT.mkv are appended (default
#                  "corvane-mix --overwrite --keyer screen --key auto --codec ffv1")
#   PYTHON         a Python 3 with numpy (default /usr/bin/python3, else python3)
#   JOBS           ffmpeg processes at once in the sweep (default 2)
# Our outputs: KEYSET_DIR/CLIP/ours_crfNN.mkv, their scores ours_crfNN.json, the errors of a
# failed mix ours_crfNN.log. The peer's best: KEYSET_DIR/CLIP/peer_best_crfNN.mkv.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
dir=${KEYSET_DIR:-/tmp/corvane-keyset}
build=${CORVANE_BUILD:-$root/build}
py=${PYTHON:-/usr/bin/python3}
[ -x "$py" ] || py=python3
"$py" -c 'import numpy' 2>/dev/null ||
  { echo "run.sh: $py has no numpy (python3-numpy); set PYTHON" >&2; exit 2; }
command -v ffmpeg >/dev/null || { echo "run.sh: ffmpeg is missing" >&2; exit 2; }
if [ -n "${OURS_CMD:-}" ]; then
  read -ra ours <<<"$OURS_CMD"
else
  ours=("$build/cli/corvane-mix" --overwrite --keyer screen --key auto --codec ffv1)
fi

started=$(date +%s)
read -ra extra <<<"${KEYSET_ARGS:-}"
mapfile -t clips < <("$py" "$here/make-keyset.py" "$dir" "${extra[@]}")
echo "keyset: ${#clips[@]} clips in $dir ($(($(date +%s) - started)) s)" >&2

failed=0
for clip in "${clips[@]}"; do
  d=$dir/$clip
  for top in "$d"/top_crf*.mp4; do
    crf=${top##*_crf}
    crf=${crf%.mp4}
    out=$d/ours_crf$crf.mkv
    rm -f "$out" "$d/ours_crf$crf.json" "$d/ours_crf$crf.log"
    t0=$(date +%s.%N)
    if ! "${ours[@]}" "$d/main.mkv" "$top" "$out" >/dev/null 2>"$d/ours_crf$crf.log"; then
      echo "run.sh: our keyer failed on $clip crf$crf ($d/ours_crf$crf.log):" >&2
      tail -n 3 "$d/ours_crf$crf.log" >&2
      failed=1
      continue
    fi
    t1=$(date +%s.%N)
    if "$py" "$here/score.py" "$d" "$out" --json >"$d/ours_crf$crf.json.part"; then
      mv "$d/ours_crf$crf.json.part" "$d/ours_crf$crf.json"
      printf '%s crf%s: ours %.2f s\n' "$clip" "$crf" "$(echo "$t1 - $t0" | bc)" >&2
    else
      rm -f "$d/ours_crf$crf.json.part"
      failed=1
    fi
  done
done

started=$(date +%s)
clip_list=$(IFS=,; echo "${clips[*]}")
"$py" "$here/peer-sweep.py" "$dir" --clips "$clip_list" --jobs "${JOBS:-2}" \
  --json "$dir/peer.json" >/dev/null
echo "peer sweep: $(($(date +%s) - started)) s" >&2

status=0
"$py" "$here/report.py" "$dir" "$dir/peer.json" "${clips[@]}" | tee "$dir/report.md" || status=1
[ $failed -eq 0 ] || status=1
exit $status
