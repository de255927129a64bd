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

work=$(mktemp -d "${TMPDIR:-/tmp}/halvex-scan-bench.XXXXXX")
server_pid=""
agent_pid=""
cleanup() {
  exec 3>&- 2> /dev/null || true
  [[ -n "$agent_pid" ]] && kill "$agent_pid" 2> /dev/null && wait "$agent_pid" 2> /dev/null
  [[ -n "$server_pid" ]] && kill "$server_pid" 2> /dev/null && wait "$server_pid" 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT

server() { "$build/server/recovery-server" "$@" --data "$work/server"; }
now() { date +%s.%N; }
rate() { awk -v n="$1" -v t="$2" 'BEGIN { printf "%.2f", n / t }'; }

wait_for() {
  for _ in $(seq $(($2 * 10))); do
    grep -qF -- "$1" "$3" 2> /dev/null && return 0
    sleep 0.1
  done
  echo "scan_e2e_bench: timed out waiting for '$1' in $3" >&2
  exit 1
}

# The disk's own rate first, the measure of the uploaded bytes' rate.
dd_start=$(now)
dd if=/dev/zero of="$work/dd.bin" bs=4M count=$((size_mb / 4)) conv=fdatasync status=none
dd_s=$(awk -v a="$dd_start" -v b="$(now)" 'BEGIN { print b - a }')
rm -f "$work/dd.bin"

echo "image: $size_mb MiB, a JPEG start every MiB" >&2
"$build/bench/scan_bench_bodies" image "$work/disk.img" "$size_mb"

server init > /dev/null
printf 'bench-password\n' | server user add bench > /dev/null
# Started directly, not through the function, so that $! is the server itself.
"$build/server/recovery-server" serve --listen 127.0.0.1:0 --data "$work/server" > "$work/server.log" 2>&1 &
server_pid=$!
wait_for ":" 10 "$work/server/listen"
port=$(sed 's/.*://' "$work/server/listen" | tr -d '[:space:]')

mkfifo "$work/agent.in"
"$build/tests/e2e/service_host" --host "localhost:$port" --ca "$work/server/ca.pem" --data "$work/agent" \
  --instance "halvex-scan-bench-$$" < "$work/agent.in" > "$work/agent.out" 2>&1 &
agent_pid=$!
exec 3> "$work/agent.in"
wait_for "System tray icon added" 10 "$work/agent/service.log"
echo login >&3
wait_for "pair: opening" 15 "$work/agent/service.log"
code=$(grep -o 'link_service?code=[A-Z0-9]*' "$work/agent/service.log" | tail -n 1 | cut -d= -f2)
server approve "$code" --user bench > /dev/null
wait_for "status: Connected" 15 "$work/agent.out"
machine=$(sed -n 's/.*"machine_id":"\([0-9a-f]*\)".*/\1/p' "$work/agent/halvex_service.conf")

echo "agent: scanning" >&2
start=$(now)
result=$(server scan "$machine" --path "$work/disk.img" --chunk-size "$chunk" 2> "$work/scan.err")
agent_s=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')
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
curl_s=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')

printf 'agent scan: %s chunks of %s MiB in %.2f s: %s chunks/s, %s MB/s of disk (bodies %s MiB: %s MB/s uploaded)\n' \
  "$chunks" $((chunk / 1048576)) "$agent_s" "$(rate "$chunks" "$agent_s")" "$(rate "$size_mb" "$agent_s")" \
  "$body_mb" "$(rate "$body_mb" "$agent_s")"
printf 'curl posts:  %s bodies in %.2f s: %s chunks/s, %s MB/s of disk-equivalent (%s MB/s uploaded)\n' \
  "$bodies" "$curl_s" "$(rate "$bodies" "$curl_s")" "$(rate "$size_mb" "$curl_s")" "$(rate "$body_mb" "$curl_s")"
printf 'disk, dd bs=4M count=%s conv=fdatasync: %s MB/s; agent uploaded/dd: %s (target >= 0.8); load average: %s\n' \
  $((size_mb / 4)) "$(rate "$size_mb" "$dd_s")" \
  "$(awk -v u="$body_mb" -v a="$agent_s" -v m="$size_mb" -v d="$dd_s" 'BEGIN { printf "%.2f", (u / a) / (m / d) }')" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
