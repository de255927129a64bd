#!/usr/bin/env bash
# Imaging end to end over loopback TLS, against the reference server:
#   1. the agent images a file of random bytes (parts of 64 MiB);
#   2. the agent images an all-zero file of the same size;
#   3. curl posts the same random bytes to the same endpoint as 4 MiB
#      multipart chunks over one kept-alive connection;
# and reports MB/s of each, the ratios, the agent's and the server's peak
# resident memory, and how much disk the all-zero image takes. The disk's
# own rate (dd of the same size with fdatasync, in the same folder) is
# measured first, as the measure of the server's ingest.
#
# Usage: bench/imaging_e2e.sh [SIZE_MIB]   (default 2048)
# Needs the default build: cmake --build --preset default --target recovery-server service_host
set -euo pipefail

size_mib=${1:-2048}
bench_name=imaging-bench
source "$(dirname "$0")/e2e_common.sh"

bytes=$((size_mib * 1048576))
dd_s=$(disk_seconds "$size_mib")
start_server_and_agent

head -c "$bytes" /dev/urandom > "$work/random.img"
truncate -s "$bytes" "$work/zero.img"

image() {  # FILE -> seconds
  local start
  start=$(now)
  server image "$machine" --file "$1" --part-size-mb 64 > "$work/image.json" 2> "$work/image.err" ||
    { cat "$work/image.err" >&2; exit 1; }
  seconds_since "$start"
}

# What the disk took during the random job, synced: each byte once is the
# image's size (plus the Store's few writes).
dev=$(basename "$(df --output=source "$work" | tail -n 1)")
sectors_written() { awk -v d="$dev" '$3 == d { print $10 }' /proc/diskstats; }
sync  # the source files just written are not the job's
written_before=$(sectors_written)
agent_cpu=$(cpu_seconds "$agent_pid")
server_cpu=$(cpu_seconds "$server_pid")
random_s=$(image "$work/random.img")
agent_cpu=$(since "$agent_cpu" "$(cpu_seconds "$agent_pid")")
server_cpu=$(since "$server_cpu" "$(cpu_seconds "$server_pid")")
sync
written_mib=$((($(sectors_written) - ${written_before:-0}) * 512 / 1048576))
peak_kib=$(awk '/VmHWM/ { print $2 }' "/proc/$agent_pid/status")
rm -rf "$work/server/images"
zero_s=$(image "$work/zero.img")
zero_path=$(sed -n 's/.*"image":"\([^"]*\)".*/\1/p' "$work/image.json")
zero_du=$(du -B1 "$zero_path" | cut -f1)
rm -rf "$work/server/images"

# curl: the same random bytes as 4 MiB chunks, one part each, all on one
# connection (one curl process, `next` between requests).
token=$(curl -sS --cacert "$work/server/ca.pem" -H "Authorization: Bearer $(cat "$work/server/admin.token")" \
  -H 'Content-Type: application/json' \
  -d "{\"machine_id\":\"$machine\",\"source\":\"file:curl\",\"part_size_mb\":4}" \
  "https://localhost:$port/api/images" | sed -n 's/.*"token":"\([^"]*\)".*/\1/p')
mkdir "$work/chunks"
split -b 4M -d -a 4 "$work/random.img" "$work/chunks/c"
total=$(ls "$work/chunks" | wc -l)
n=0
for f in "$work"/chunks/c*; do
  n=$((n + 1))
  # Options end at `next`, so every request carries its own.
  [[ $n -gt 1 ]] && echo next >> "$work/curl.cfg"
  cat >> "$work/curl.cfg" << EOF
url = "https://localhost:$port/upload_chunk?token=$token"
cacert = "$work/server/ca.pem"
fail
silent
show-error
header = "Expect:"
form = "batch_id=curlbench"
form = "part_number=$n"
form = "total_parts=$total"
form = "chunk_index=0"
form = "total_chunks=1"
form = "filename=curl.part$n.img"
form = "disk_name=curl"
form = "chunk=@$f;type=application/octet-stream"
output = "/dev/null"
EOF
done
start=$(now)
curl -K "$work/curl.cfg"
curl_s=$(seconds_since "$start")
server_kib=$(awk '/VmHWM/ { print $2 }' "/proc/$server_pid/status")

echo "size: $size_mib MiB; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "disk, dd bs=4M count=$((size_mib / 4)) conv=fdatasync: ${dd_s} s, $(mb_per_s "$bytes" "$dd_s") MB/s"
echo "agent, random: ${random_s} s, $(mb_per_s "$bytes" "$random_s") MB/s"
echo "curl,  random: ${curl_s} s, $(mb_per_s "$bytes" "$curl_s") MB/s"
echo "agent, zero:   ${zero_s} s, $(mb_per_s "$bytes" "$zero_s") MB/s"
[[ -n "$written_before" ]] &&
  echo "disk written during the random job: $written_mib MiB for a $size_mib MiB image (target: once)"
awk -v a="$random_s" -v c="$curl_s" -v z="$zero_s" -v d="$dd_s" \
  'BEGIN { printf "server ingest/dd (random, end to end): %.2f (target >= 0.8)\n", d / a
           printf "agent/curl (random): %.2f (target >= 1.0)\nzero speed-up over random: %.2f\n", c / a, a / z }'
print_cpu_ceiling "random" "$agent_cpu" "$server_cpu" "$bytes" "$dd_s"
awk -v u="$zero_du" -v b="$bytes" -v z="$zero_s" \
  'BEGIN { printf "zero image: %.0f MB/s (target >= 1000), allocated %d bytes = %.3f%% of its length (target < 1%%)\n",
           b / z / 1e6, u, 100 * u / b }'
echo "server peak resident memory (VmHWM) over the run: $((server_kib / 1024)) MiB (target < 256 MiB)"
echo "agent peak resident memory (VmHWM) after the random job: $((peak_kib / 1024)) MiB" \
  "(limit 9 x 64 + 64 = 640 MiB)"
