#!/usr/bin/env bash
# A whole remote scan over loopback TLS: the reference server and the agent
# (the test host, paired through `approve`) on this machine, the agent
# scanning an image file of SIZE_MB MiB (default 2048) in 64 MiB chunks.
# Then curl posts the very same upload bodies (written by scan_bench_bodies)
# to the same endpoint on one kept-alive connection, for comparison.
#
#   bench/scan_e2e_bench.sh BUILD_DIR [SIZE_MB]
#
# BUILD_DIR needs the targets recovery-server, service_host and
# scan_bench_bodies (configure with -DHALVEX_BENCH=ON). Everything the
# script writes (about 3 GiB for the default size) is removed at the end.
set -euo pipefail

build=$(cd "${1:?usage: scan_e2e_bench.sh BUILD_DIR [SIZE_MB]}" && pwd)
size_mb=${2:-2048}
chunk=67108864

bench_name=scan-bench
source "$(dirname "$0")/e2e_common.sh"
rate() { awk -v n="$1" -v t="$2" 'BEGIN { printf "%.2f", n / t }'; }

# The disk's own rate first, the measure of the uploaded bytes' rate.
dd_s=$(disk_seconds "$size_mb")

echo "image: $size_mb MiB, a JPEG start every MiB" >&2
"$build/bench/scan_bench_bodies" image "$work/disk.img" "$size_mb"
start_server_and_agent

echo "agent: scanning" >&2
agent_cpu=$(cpu_seconds "$agent_pid")
server_cpu=$(cpu_seconds "$server_pid")
start=$(now)
result=$(server scan "$machine" --path "$work/disk.img" --chunk-size "$chunk" 2> "$work/scan.err")
agent_s=$(seconds_since "$start")
agent_cpu=$(since "$agent_cpu" "$(cpu_seconds "$agent_pid")")
server_cpu=$(since "$server_cpu" "$(cpu_seconds "$server_pid")")
server_kib=$(awk '/VmHWM/ { print $2 }' "/proc/$server_pid/status")  # the agent's bodies only
chunks=$(sed -n 's/.*"chunks":\([0-9]*\).*/\1/p' <<< "$result")
echo "agent result: $result" >&2

# A scan record of the server's own for curl's posts: the endpoint checks
# that the bodies' scan_id is the token's.
token=$(cat "$work/server/admin.token")
scan=$(curl -sS --cacert "$work/server/ca.pem" -H "Authorization: Bearer $token" \
  -d "{\"machine_id\":\"$machine\",\"source\":\"path:$work/disk.img\"}" "https://localhost:$port/api/scans")
scan_id=$(sed -n 's/.*"scan_id":"\([^"]*\)".*/\1/p' <<< "$scan")
upload_token=$(sed -n 's/.*"token":"\([^"]*\)".*/\1/p' <<< "$scan")
mkdir "$work/bodies"
"$build/bench/scan_bench_bodies" bodies "$work/disk.img" "$scan_id" "$chunk" \
  "https://localhost:$port/api/remote/scanned_chunk?token=$upload_token" "$work/server/ca.pem" \
  "$work/bodies" > "$work/curl.cfg"
body_mb=$(du -sm "$work/bodies" | cut -f1)
bodies=$(ls "$work/bodies" | wc -l)

echo "curl: posting $bodies bodies ($body_mb MiB)" >&2
start=$(now)
curl -K "$work/curl.cfg"
curl_s=$(seconds_since "$start")

printf 'agent scan: %s chunks of %s MiB in %.2f s: %s chunks/s, %s MB/s of disk (bodies %s MiB: %s MB/s uploaded)\n' \
  "$chunks" $((chunk / 1048576)) "$agent_s" "$(rate "$chunks" "$agent_s")" "$(rate "$size_mb" "$agent_s")" \
  "$body_mb" "$(rate "$body_mb" "$agent_s")"
printf 'curl posts:  %s bodies in %.2f s: %s chunks/s, %s MB/s of disk-equivalent (%s MB/s uploaded)\n' \
  "$bodies" "$curl_s" "$(rate "$bodies" "$curl_s")" "$(rate "$size_mb" "$curl_s")" "$(rate "$body_mb" "$curl_s")"
printf 'disk, dd bs=4M count=%s conv=fdatasync: %s MB/s; agent uploaded/dd: %s (target >= 0.8); load average: %s\n' \
  $((size_mb / 4)) "$(rate "$size_mb" "$dd_s")" \
  "$(awk -v u="$body_mb" -v a="$agent_s" -v m="$size_mb" -v d="$dd_s" 'BEGIN { printf "%.2f", (u / a) / (m / d) }')" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
# The ceiling in uploaded bytes: the job's CPU over the cores, scaled to the bodies.
print_cpu_ceiling "scan (per uploaded byte)" "$agent_cpu" "$server_cpu" $((body_mb * 1048576)) \
  "$(awk -v d="$dd_s" -v u="$body_mb" -v m="$size_mb" 'BEGIN { print d * u / m }')"
echo "server peak resident memory (VmHWM) after the agent's scan: $((server_kib / 1024)) MiB"
