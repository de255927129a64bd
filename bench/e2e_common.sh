# Shared by the end-to-end benchmarks (sourced, not run): the reference
# server and a paired agent (the test host) on loopback TLS, in a scratch
# folder removed on exit. The caller sets `build` (a build folder with
# recovery-server and service_host) and `bench_name` first; it gets
# `work`, `port`, `machine`, `server_pid`, `agent_pid` and the helpers below.

work=$(mktemp -d "${TMPDIR:-/tmp}/halvex-$bench_name.XXXXXX")
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
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.3f", b - a }'; }

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

# Starts the server with user "bench", then the agent, pairs them and sets
# `machine`. The agent reads commands from file descriptor 3.
start_server_and_agent() {
  server init > /dev/null
  printf 'bench-password\n' | server user add bench > /dev/null
  # Started directly, not through the function, so that $! is the server itself.
  "$build/server/recovery-server" serve --listen 127.0.0.1:0 --data "$work/server" \
    > "$work/server.log" 2>&1 &
  server_pid=$!
  wait_for ":" 10 "$work/server/listen"
  port=$(sed 's/.*://' "$work/server/listen" | tr -d '[:space:]')

  mkfifo "$work/agent.in"
  "$build/tests/e2e/service_host" --host "localhost:$port" --ca "$work/server/ca.pem" \
    --data "$work/agent" --instance "halvex-$bench_name-$$" < "$work/agent.in" \
    > "$work/agent.out" 2>&1 &
  agent_pid=$!
  exec 3> "$work/agent.in"
  wait_for "System tray icon added" 10 "$work/agent/service.log"
  echo login >&3
  wait_for "pair: opening" 15 "$work/agent/service.log"
  local code
  code=$(grep -o 'link_service?code=[A-Z0-9]*' "$work/agent/service.log" | tail -n 1 | cut -d= -f2)
  server approve "$code" --user bench > /dev/null
  wait_for "status: Connected" 15 "$work/agent.out"
  machine=$(sed -n 's/.*"machine_id":"\([0-9a-f]*\)".*/\1/p' "$work/agent/halvex_service.conf")
}
