#!/usr/bin/env bash
# slurm-batch.sh BUILD_FOLDER
#
# corvane-batch on a real scheduler: a one-node Slurm cluster of its own (slurm-cluster.sh)
# runs a batch of four mixes (MP4, WebM, MPEG-TS and AVI mains), a Motion JPEG mix cut into four
# segments (four tasks and a stitch job that waits on them) and a row whose main is missing.
# A first submission is killed once its first row is done; the second, with --wait, must skip
# that row and finish the rest. Each output must equal, frame for frame and audio packet for
# packet, what corvane-mix writes run alone; the report and the exit status must name the
# failed row and its reason; a third submission must skip every row done. Every daemon and job
# step is stopped at the end. Where Slurm cannot start the test is skipped (77) with
# its reason, but under CI (CORVANE_CI=1) that is a failure.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
cluster=$work/cluster
mkdir -p "$cluster"
trap '"$here/slurm-cluster.sh" stop "$cluster" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

set +e
conf=$("$here/slurm-cluster.sh" start "$cluster")
started=$?
set -e
if [ $started -ne 0 ]; then
  [ "${CORVANE_CI:-0}" = 1 ] && { echo "slurm-batch: under CI Slurm must start"; exit 1; }
  exit "$started"
fi
eval "$conf"

cd "$work"
source=(-f lavfi -i testsrc2=size=160x120:rate=25 -f lavfi -i sine=sample_rate=48000 -t 2)
ff() { ffmpeg -nostdin -v error "$@"; }
ff "${source[@]}" -c:v libx264 -preset veryfast -g 25 -pix_fmt yuv420p -c:a aac a.mp4
ff "${source[@]}" -c:v libvpx-vp9 -deadline realtime -cpu-used 8 -c:a libopus b.webm
ff "${source[@]}" -c:v mpeg2video -c:a mp2 c.ts
ff "${source[@]}" -c:v mjpeg -q:v 4 -c:a pcm_s16le d.avi
ff -f lavfi -i color=c=red:size=32x24 -frames:v 1 logo.png
mkdir -p out alone
cat >batch.csv <<'CSV'
main,output,top,options,segments
a.mp4,out/a.mp4,logo.png,"--corner br --from 0.5 --to 1",
b.webm,out/b.mkv,logo.png,--codec mjpeg,
c.ts,out/c.avi,logo.png,"--at 10,10",
missing.mp4,out/m.mp4,logo.png,,
d.avi,out/d.mov,logo.png,--codec mjpeg --quality 80,
d.avi,out/s.avi,logo.png,"--codec mjpeg --quality 80 --at 20,20 --from 0.3 --to 1.5",4
CSV

status=0
fail() { echo "slurm-batch: $*"; status=1; }
statuses() { python3 -c 'import csv,sys; print(" ".join(r["status"] for r in csv.DictReader(open(sys.argv[1]))))' batch.report.csv; }

# Killed once the first row is done: one task at a time, so the next is under way.
"$build/cli/corvane-batch" slurm batch.csv --throttle 1 2>killed.log
for _ in $(seq 120); do
  compgen -G 'batch.tasks/submitted-*/task-0.csv' >/dev/null && break
  sleep 0.5
done
scancel -u "$(id -un)"
for _ in $(seq 60); do
  [ -z "$(squeue -h -o %i)" ] && break
  sleep 0.5
done
[ -s out/a.mp4 ] || fail "the first row was not done before the kill: $(cat killed.log)"

set +e
"$build/cli/corvane-batch" slurm batch.csv --wait --throttle 2 --sbatch-arg=--comment=corvane-test 2>submit.log
ran=$?
set -e
[ $ran -eq 1 ] || { cat submit.log; fail "exit status $ran with a missing main, not 1"; }
content() { ffmpeg -nostdin -v error -i "$1" -map 0:v:0 -f framemd5 -; ffmpeg -nostdin -v error -i "$1" -map 0:a? -c copy -f framemd5 -; }
while read -r output alone; do
  "$build/cli/corvane-mix" $alone </dev/null 2>/dev/null || fail "corvane-mix alone failed: $alone"
  [ -s "$output" ] || { fail "$output was not written"; continue; }
  cmp -s <(content "$output") <(content "${alone##* }") || fail "$output differs from corvane-mix run alone"
done <<'ROWS'
out/a.mp4 --corner br --from 0.5 --to 1 a.mp4 logo.png alone/a.mp4
out/b.mkv --codec mjpeg b.webm logo.png alone/b.mkv
out/c.avi --at 10,10 c.ts logo.png alone/c.avi
out/d.mov --codec mjpeg --quality 80 d.avi logo.png alone/d.mov
out/s.avi --codec mjpeg --quality 80 --at 20,20 --from 0.3 --to 1.5 d.avi logo.png alone/s.avi
ROWS
now=$(statuses)
[[ "$now" =~ ^skipped\ (done|skipped)\ (done|skipped)\ failed\ (done|skipped)\ done$ ]] ||
  fail "report statuses after the kill: $now"
ls -A out | grep -q 'part\|partial' && fail "parts or temporary files left: $(ls -A out)"
grep -q 'missing.mp4.*no such file' batch.report.csv || fail "the failed row does not say why: $(cat batch.report.csv)"

# A second submission skips the rows done.
set +e
"$build/cli/corvane-batch" slurm batch.csv --wait 2>again.log
set -e
now=$(statuses)
[ "$now" = "skipped skipped skipped failed skipped skipped" ] || { cat again.log; fail "rerun statuses: $now"; }
[ $status -eq 0 ] || cat batch.report.csv
[ $status -eq 0 ] && echo "slurm-batch: the batch ran through Slurm as corvane-mix runs alone"
exit $status
