#!/usr/bin/env bash
# The ceiling of the uploads on this machine: the agent images SIZE_MB MiB
# of random bytes (parts of 64 MiB), then scans an image of the same size
# with a JPEG start every MiB (64 MiB chunks), both to an HTTPS endpoint that
# throws the bodies away (tls_sink.py). No server can take the bodies in
# faster over the agent's one connection; the rates are printed next to the
# disk's own (dd with fdatasync), which imaging_e2e.sh and
# scan_e2e_bench.sh hold the reference server to.
#
#   bench/sink_ceiling.sh BUILD_DIR [SIZE_MB]   (default 2048)
#
# BUILD_DIR needs the targets recovery-server, service_host and
# scan_bench_bodies (configure with -DHALVEX_BENCH=ON).
set -euo pipefail

build=$(cd "${1:?usage: sink_ceiling.sh BUILD_DIR [SIZE_MB]}" && pwd)
size_mb=${2:-2048}
bench_name=sink-ceiling
source "$(dirname "$0")/e2e_common.sh"
rate() { awk -v n="$1" -v t="$2" 'BEGIN { printf "%.1f", n * 1048576 / t / 1e6 }'; }  # MIB SECONDS

dd_s=$(disk_seconds "$size_mb")
head -c $((size_mb * 1048576)) /dev/urandom > "$work/random.img"
"$build/bench/scan_bench_bodies" image "$work/disk.img" "$size_mb"
start_server_and_agent

# The server's own certificate, which the agent trusts for "localhost".
/usr/bin/python3 "$(dirname "$0")/tls_sink.py" "$work/server/server.pem" "$work/server/server.key" \
  "$work/sink.port" "$work/sink.stats" &
agent_pids+=("$!")  # stopped with the agents
wait_for "" 10 "$work/sink.port"
sink="https://localhost:$(tr -d '[:space:]' < "$work/sink.port")"
posted_mib() { awk '{ printf "%.1f", $1 / 1048576 }' "$work/sink.stats"; }

start=$(now)
# The job ends with "the image is receiving" (the server never saw a part):
# only the time counts.
server image "$machine" --file "$work/random.img" --part-size-mb 64 --base-url "$sink" \
  > /dev/null 2> "$work/image.err" || true
image_s=$(seconds_since "$start")
grep -q "imaging: complete!" "$work/agent/service.log" ||
  { cat "$work/image.err" >&2; exit 1; }
image_mib=$(posted_mib)

start=$(now)
server scan "$machine" --path "$work/disk.img" --chunk-size 67108864 --base-url "$sink" \
  > /dev/null 2> "$work/scan.err" || { cat "$work/scan.err" >&2; exit 1; }
scan_s=$(seconds_since "$start")
scan_mib=$(awk -v all="$(posted_mib)" -v image="$image_mib" 'BEGIN { printf "%.1f", all - image }')

dd_rate=$(rate "$size_mb" "$dd_s")
echo "size: $size_mb MiB; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "disk, dd bs=4M count=$((size_mb / 4)) conv=fdatasync: $dd_rate MB/s"
image_rate=$(rate "$image_mib" "$image_s")
scan_rate=$(rate "$scan_mib" "$scan_s")
echo "agent imaging, random, to the sink: $image_s s, $image_rate MB/s sent"
echo "agent scan, a JPEG every MiB, to the sink: $scan_s s, $(rate "$size_mb" "$scan_s") MB/s of disk, $scan_mib MiB at $scan_rate MB/s sent"
awk -v i="$image_rate" -v s="$scan_rate" -v d="$dd_rate" \
  'BEGIN { printf "best a server could reach: imaging/dd %.2f, scan uploaded/dd %.2f (targets >= 0.8)\n", i / d, s / d }'
