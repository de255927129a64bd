#!/usr/bin/env bash
# Several agents imaging at once against one reference server, over
# loopback TLS: AGENTS test hosts (default 4), each imaging its own file of
# SIZE_MIB random MiB (default 512) in 64 MiB parts, all started together.
# Reports the total rate against the disk's own (dd with fdatasync, in the
# same folder), each job's time, and the longest part upload seen in the
# agents' logs: a part's chunks and their replies, so no single reply took
# longer (the target is no reply over 30 s).
#
# Usage: bench/imaging_agents.sh [AGENTS] [SIZE_MIB]
# Needs the default build: cmake --build --preset default --target recovery-server service_host
set -euo pipefail

agents=${1:-4}
size_mib=${2:-512}
bench_name=imaging-agents
source "$(dirname "$0")/e2e_common.sh"
(( agents >= 1 && agents <= 4 )) || { echo "imaging_agents: 1 to 4 agents" >&2; exit 2; }

dd_s=$(disk_seconds "$((agents * size_mib))")
start_server
machines=()
for i in $(seq "$agents"); do
  start_agent "agent$i" $((2 + i))
  machines+=("$machine")
  head -c $((size_mib * 1048576)) /dev/urandom > "$work/source$i.img"
done
sync

start=$(now)
jobs=()
for i in $(seq "$agents"); do
  ( s=$(now)
    server image "${machines[$((i - 1))]}" --file "$work/source$i.img" --part-size-mb 64 \
      > "$work/image$i.json" 2> "$work/image$i.err" || { cat "$work/image$i.err" >&2; exit 1; }
    echo "agent $i: $(seconds_since "$s") s" ) &
  jobs+=($!)
done
for pid in "${jobs[@]}"; do wait "$pid"; done
total_s=$(seconds_since "$start")

# "[YYYY-MM-DD HH:MM:SS INFO ]   Uploading part N/M" to "Upload OK part N", per agent.
longest=$(for i in $(seq "$agents"); do
  awk '{ split($2, t, ":"); s = t[1] * 3600 + t[2] * 60 + t[3] }
       /Uploading part/ { split($7, p, "/"); begun[p[1]] = s }
       /Upload OK part/ && ($NF in begun) { d = s - begun[$NF]; if (d > worst) worst = d }
       END { print worst + 0 }' "$work/agent$i/service.log"
done | sort -n | tail -n 1)

bytes=$((agents * size_mib * 1048576))
echo "agents: $agents x $size_mib MiB; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "disk, dd of $((agents * size_mib)) MiB with fdatasync: ${dd_s} s, $(mb_per_s "$bytes" "$dd_s") MB/s"
echo "all agents: ${total_s} s, $(mb_per_s "$bytes" "$total_s") MB/s together; ingest/dd: $(awk -v a="$total_s" -v d="$dd_s" 'BEGIN { printf "%.2f", d / a }')"
echo "longest part upload (its chunks and their replies): ${longest} s (target: no reply over 30 s)"
echo "server peak resident memory (VmHWM): $(($(awk '/VmHWM/ { print $2 }' "/proc/$server_pid/status") / 1024)) MiB"
