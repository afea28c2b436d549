#!/usr/bin/env bash
# batch-run.sh [ROWS]
#
# corvane-batch run --jobs 2 against its rows run alone: a batch of ROWS (default 6) J1-like
# mixes (the 720p Motion JPEG main, the looping green-screen top, into Motion JPEG) is timed
# once with `run --jobs 2`, and each row once on its own with corvane-mix. Prints the rows' CPU
# seconds alone, half of that, the batch's wall time and the ratio of the two (the target is at
# most 1.1). Inputs from make-inputs.sh in BENCH_DIR (default /tmp/corvane-bench).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${CORVANE_BUILD:-$here/build}
dir=${BENCH_DIR:-/tmp/corvane-bench}
rows=${1:-6}
"$here/bench/make-inputs.sh" "$dir/in" >/dev/null
work=$dir/batch
rm -rf "$work"
mkdir -p "$work/out" "$work/alone"
q3=$("$build/cli/corvane-mix" --list-codecs | sed -n 's/.*q:v 3 *= *--quality *\([0-9]*\).*/\1/p' | head -1)
options="--loop --key 0,255,0 --at 100,50 --codec mjpeg --quality $q3"
echo "main,output,top,options" >"$work/batch.csv"
for i in $(seq "$rows"); do
  echo "$dir/in/main_720p.avi,out/row$i.avi,$dir/in/top_240p.avi,\"$options\"" >>"$work/batch.csv"
done
cpu=0
for i in $(seq "$rows"); do
  /usr/bin/time -f '%U %S' -o "$work/time.txt" "$build/cli/corvane-mix" $options \
    "$dir/in/main_720p.avi" "$dir/in/top_240p.avi" "$work/alone/row$i.avi" 2>/dev/null
  cpu=$(awk -v sum="$cpu" '{ print sum + $1 + $2 }' "$work/time.txt")
done
/usr/bin/time -f '%e' -o "$work/time.txt" "$build/cli/corvane-batch" run "$work/batch.csv" --jobs 2 2>/dev/null
wall=$(cat "$work/time.txt")
awk -v cpu="$cpu" -v wall="$wall" -v rows="$rows" 'BEGIN {
  printf "rows %d: CPU alone %.2f s, half %.2f s; run --jobs 2 wall %.2f s; ratio %.3f\n",
         rows, cpu, cpu / 2, wall, wall / (cpu / 2) }'
