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
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/build"
work=$(mktemp -d /tmp/halvex-bench.XXXXXX)
server_pid=""
agent_pid=""
cleanup() {
  exec 3>&- 2> /dev/null || true
  [[ -n "$agent_pid" ]] && kill "$agent_pid" 2> /dev/null && wait "$agent_pid" 2> /dev/null
  [[ -n "$server_pid" ]] && kill "$server_pid" 2> /dev/null && wait "$server_pid" 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT

server() { "$bin/server/recovery-server" "$@" --data "$work/server"; }
wait_for() {  # TEXT SECONDS FILE
  for _ in $(seq $(($2 * 10))); do
    grep -qF -- "$1" "$3" 2> /dev/null && return 0
    sleep 0.1
  done
  echo "bench: timed out waiting for '$1' in $3" >&2
  exit 1
}
now() { date +%s.%N; }
rate() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / s / 1e6 }'; }

bytes=$((size_mib * 1048576))
dd_start=$(now)
dd if=/dev/zero of="$work/dd.bin" bs=4M count=$((size_mib / 4)) conv=fdatasync status=none
dd_s=$(awk -v a="$dd_start" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }')
rm -f "$work/dd.bin"

server init > /dev/null
printf 'bench-password\n' | server user add bench
# Started directly, not through the function, so that $! is the server itself.
"$bin/server/recovery-server" serve --listen 127.0.0.1:0 --data "$work/server" > "$work/server.log" 2>&1 &
server_pid=$!
wait_for ":" 10 "$work/server/listen"
port=$(sed 's/.*://' "$work/server/listen")

mkfifo "$work/agent.in"
"$bin/tests/e2e/service_host" --host "localhost:$port" --ca "$work/server/ca.pem" --data "$work/agent" \
  --instance "halvex-bench-$$" < "$work/agent.in" > "$work/agent.out" 2>&1 &
agent_pid=$!
exec 3> "$work/agent.in"
wait_for "System tray icon added" 10 "$work/agent/service.log"
echo login >&3
wait_for "pair: opening" 15 "$work/agent/service.log"
code=$(grep -o 'link_service?code=[A-Z0-9]*' "$work/agent/service.log" | tail -n 1 | cut -d= -f2)
server approve "$code" --user bench > /dev/null
wait_for "pair: success" 10 "$work/agent/service.log"
machine=$(server machines | sed -n 's/.*"machine_id":"\([0-9a-f]*\)".*/\1/p' | head -n 1)

head -c "$bytes" /dev/urandom > "$work/random.img"
truncate -s "$bytes" "$work/zero.img"

image() {  # FILE -> seconds
  local start end
  start=$(now)
  server image "$machine" --file "$1" --part-size-mb 64 > "$work/image.json" 2> "$work/image.err" ||
    { cat "$work/image.err" >&2; exit 1; }
  end=$(now)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }'
}

random_s=$(image "$work/random.img")
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
end=$(now)
curl_s=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
server_kib=$(awk '/VmHWM/ { print $2 }' "/proc/$server_pid/status")

echo "size: $size_mib MiB; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "disk, dd bs=4M count=$((size_mib / 4)) conv=fdatasync: ${dd_s} s, $(rate "$bytes" "$dd_s") MB/s"
echo "agent, random: ${random_s} s, $(rate "$bytes" "$random_s") MB/s"
echo "curl,  random: ${curl_s} s, $(rate "$bytes" "$curl_s") MB/s"
echo "agent, zero:   ${zero_s} s, $(rate "$bytes" "$zero_s") MB/s"
awk -v a="$random_s" -v c="$curl_s" -v z="$zero_s" -v d="$dd_s" \
  'BEGIN { printf "server ingest/dd (random, end to end): %.2f (target >= 0.8)\n", d / a
           printf "agent/curl (random): %.2f (target >= 1.0)\nzero speed-up over random: %.2f\n", c / a, a / z }'
awk -v u="$zero_du" -v b="$bytes" -v z="$zero_s" \
  'BEGIN { printf "zero image: %.0f MB/s (target >= 1000), allocated %d bytes = %.3f%% of its length (target < 1%%)\n",
           b / z / 1e6, u, 100 * u / b }'
echo "server peak resident memory (VmHWM) over the run: $((server_kib / 1024)) MiB (target < 256 MiB)"
echo "agent peak resident memory (VmHWM) after the random job: $((peak_kib / 1024)) MiB" \
  "(limit 9 x 64 + 64 = 640 MiB)"
