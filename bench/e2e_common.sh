# Shared by the end-to-end benchmarks (sourced, not run): the reference
# server and a paired agent (the test host) on loopback TLS, in a scratch
# folder removed on exit. The caller sets `bench_name` first, and `build`
# (a folder with recovery-server and service_host; the default preset's
# build/ when unset); it gets
# `work`, `port`, `server_pid` and the helpers below, which set `machine`
# and `agent_pid` for each agent.

build=${build:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build}
work=$(mktemp -d "${TMPDIR:-/tmp}/halvex-$bench_name.XXXXXX")
server_pid=""
agent_pid=""
agent_pids=()
cleanup() {
  exec 3>&- 4>&- 5>&- 6>&- 2> /dev/null || true
  for pid in "${agent_pids[@]}"; do kill "$pid" 2> /dev/null && wait "$pid" 2> /dev/null; done
  [[ -n "$server_pid" ]] && kill "$server_pid" 2> /dev/null && wait "$server_pid" 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT

server() { "$build/server/recovery-server" "$@" --data "$work/server"; }
now() { date +%s.%N; }
mb_per_s() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.1f", b / s / 1e6 }'; }  # BYTES SECONDS
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }
# CPU seconds (user + system) the processes PID... have used so far.
cpu_seconds() {
  local ticks
  ticks=$(getconf CLK_TCK)
  for pid in "$@"; do cat "/proc/$pid/stat"; done |
    awk -v t="$ticks" '{ sub(/.*\) /, ""); s += $12 + $13 } END { printf "%.2f", s / t }'
}
since() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }  # BEFORE NOW

# What this machine's cores allow a job on which agent and server spent
# AGENT_CPU + SERVER_CPU seconds: no schedule on nproc cores ends it sooner
# than their sum over nproc, whatever the code does with its threads.
print_cpu_ceiling() {  # LABEL AGENT_CPU SERVER_CPU BYTES DD_SECONDS
  awk -v l="$1" -v a="$2" -v s="$3" -v b="$4" -v d="$5" -v n="$(nproc)" \
    'BEGIN { c = a + s
             printf "CPU, %s: agent %.2f s + server %.2f s = %.2f s per GB;", l, a, s, c * 1e9 / b
             printf " ceiling on %d cores: %.0f MB/s = %.2f x dd\n", n, b / (c / n) / 1e6, d / (c / n) }'
}

wait_for() {  # TEXT SECONDS FILE
  for _ in $(seq $(($2 * 10))); do
    grep -qF -- "$1" "$3" 2> /dev/null && return 0
    sleep 0.1
  done
  echo "$bench_name: timed out waiting for '$1' in $3" >&2
  exit 1
}

# Seconds the disk takes to write MIB MiB with dd and fdatasync, in the
# scratch folder: the measure of the server's ingest.
disk_seconds() {  # MIB
  local start
  start=$(now)
  dd if=/dev/zero of="$work/dd.bin" bs=4M count=$(($1 / 4)) conv=fdatasync status=none
  seconds_since "$start"
  rm -f "$work/dd.bin"
}

# Starts the server, with user "bench".
start_server() {
  server init > /dev/null
  printf 'bench-password\n' | server user add bench > /dev/null
  # Started directly, not through the function, so that $! is the server itself.
  "$build/server/recovery-server" serve --listen 127.0.0.1:0 --data "$work/server" \
    > "$work/server.log" 2>&1 &
  server_pid=$!
  wait_for ":" 10 "$work/server/listen"
  port=$(sed 's/.*://' "$work/server/listen" | tr -d '[:space:]')
}

# Starts an agent in $work/NAME, pairs it with the server and sets `machine`
# and `agent_pid`. The agent reads commands from file descriptor FD.
start_agent() {  # NAME FD
  local dir="$work/$1" code
  mkfifo "$dir.in"
  "$build/tests/e2e/service_host" --host "localhost:$port" --ca "$work/server/ca.pem" \
    --data "$dir" --instance "halvex-$bench_name-$1-$$" < "$dir.in" > "$dir.out" 2>&1 &
  agent_pid=$!
  agent_pids+=("$agent_pid")
  eval "exec $2> \"\$dir.in\""
  wait_for "System tray icon added" 10 "$dir/service.log"
  echo login >&"$2"
  wait_for "pair: opening" 15 "$dir/service.log"
  code=$(grep -o 'link_service?code=[A-Z0-9]*' "$dir/service.log" | tail -n 1 | cut -d= -f2)
  server approve "$code" --user bench > /dev/null
  wait_for "status: Connected" 15 "$dir.out"
  machine=$(sed -n 's/.*"machine_id":"\([0-9a-f]*\)".*/\1/p' "$dir/halvex_service.conf")
}

start_server_and_agent() {
  start_server
  start_agent agent 3
}
