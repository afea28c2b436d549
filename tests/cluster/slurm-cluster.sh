#!/usr/bin/env bash
# slurm-cluster.sh start DIR | stop DIR
#
# A one-node Slurm cluster of its own in DIR, for the tests: munged on a socket in DIR (its own
# key), slurmctld and slurmd on free ports, no cgroups (proctrack/linuxproc, task/none), no
# accounting. `start` prints the line to evaluate for the clients (export SLURM_CONF=...) once
# the node takes jobs; exit 77 with the reason when Slurm is not installed or cannot start here.
# `stop` cancels every job and stops the three daemons.
set -euo pipefail
command=${1:?start or stop}
dir=$(cd "${2:?DIR}" && pwd)

if [ "$command" = stop ]; then
  export SLURM_CONF=$dir/slurm.conf
  scancel --full --quiet -u "$(id -un)" 2>/dev/null || true
  for daemon in slurmd slurmctld munged; do
    [ -s "$dir/$daemon.pid" ] && kill "$(cat "$dir/$daemon.pid")" 2>/dev/null || true
  done
  for _ in $(seq 50); do
    alive=0
    for daemon in slurmd slurmctld munged; do
      [ -s "$dir/$daemon.pid" ] && kill -0 "$(cat "$dir/$daemon.pid")" 2>/dev/null && alive=1
    done
    [ $alive = 0 ] && break
    sleep 0.1
  done
  for daemon in slurmd slurmctld munged; do
    [ -s "$dir/$daemon.pid" ] && kill -KILL "$(cat "$dir/$daemon.pid")" 2>/dev/null || true
  done
  # Job steps that outlived their daemon.
  pkill -KILL -f "slurmstepd.*$dir" 2>/dev/null || true
  exit 0
fi

skip() { echo "slurm-cluster: $*" >&2; exit 77; }
for program in munged slurmctld slurmd sbatch squeue scontrol; do
  command -v "$program" >/dev/null || [ -x "/usr/sbin/$program" ] || skip "$program is not installed (scripts/install-deps)"
done
export PATH=$PATH:/usr/sbin
user=$(id -un)
host=$(hostname -s)
mkdir -p "$dir/state" "$dir/spool" "$dir/munge"
chmod 700 "$dir/munge"
dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 status=none
chmod 400 "$dir/munge/munge.key"
munged --force --socket="$dir/munge/munge.socket" --key-file="$dir/munge/munge.key" \
  --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" --seed-file="$dir/munge/seed" \
  || skip "munged does not start: $(tail -1 "$dir/munged.log" 2>/dev/null)"

# Two free ports, one for each daemon.
read -r ctld_port slurmd_port < <(python3 -c '
import socket
s = [socket.socket() for _ in range(2)]
for x in s: x.bind(("127.0.0.1", 0))
print(*[x.getsockname()[1] for x in s])')
cpus=$(nproc)
memory=$(awk '/MemTotal/ { print int($2 / 1024 / 2) }' /proc/meminfo)
cat >"$dir/slurm.conf" <<CONF
ClusterName=corvane-test
SlurmctldHost=$host
SlurmUser=$user
SlurmdUser=$user
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$dir/munge/munge.socket
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SwitchType=switch/none
MpiDefault=none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
SlurmctldPort=$ctld_port
SlurmdPort=$slurmd_port
ReturnToService=2
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
MaxArraySize=100000
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$memory State=UNKNOWN
PartitionName=main Nodes=ALL Default=YES MaxTime=INFINITE State=UP OverSubscribe=NO
CONF
export SLURM_CONF=$dir/slurm.conf
slurmctld -f "$dir/slurm.conf" || skip "slurmctld does not start: $(tail -2 "$dir/slurmctld.log" 2>/dev/null)"
slurmd -f "$dir/slurm.conf" || skip "slurmd does not start: $(tail -2 "$dir/slurmd.log" 2>/dev/null)"
for _ in $(seq 150); do
  state=$(sinfo -h -o %t 2>/dev/null | head -1)
  case $state in idle | mix | alloc) echo "export SLURM_CONF=$dir/slurm.conf"; exit 0 ;; esac
  sleep 0.2
done
skip "the node did not come up (state ${state:-none}): $(tail -2 "$dir/slurmd.log" 2>/dev/null)"
