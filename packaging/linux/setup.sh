#!/bin/sh
# Halvex_Service_Setup.run's installer step (makeself runs it in the folder
# it unpacked). Always silent: the switches of the agent's hand-over
# (/VERYSILENT /NORESTART /SUPPRESSMSGBOXES /SP-) and any others are
# accepted and ignored.
#
# What it installs:
#   - as root on a Debian system, with no HALVEX_PREFIX: the agent .deb
#     through dpkg; its postinst (re)starts halvex-service.service where
#     systemd runs, and without systemd the agent is started here directly;
#   - otherwise: the agent's program into $HALVEX_PREFIX/bin (default
#     ~/.local/bin), started directly in a session of its own, its process
#     id written to $HALVEX_PREFIX/halvex-service.pid.
# The archive carries the programs in bin/, and the .deb when it was made
# from one.
set -u

here=$(cd "$(dirname "$0")" && pwd)
deb=$(ls "$here"/halvex-service_*.deb 2>/dev/null | head -n 1)

say() { echo "Halvex Service setup: $*"; }

# start_direct PROGRAM [PIDFILE]: the agent outlives this script and
# whatever started it; it reads no console.
start_direct() {
  # From /: the folder makeself unpacked into is deleted after this script.
  (cd / && exec setsid "$1" </dev/null >/dev/null 2>&1) &
  [ $# -lt 2 ] || echo $! > "$2"
  say "started $1 (pid $!)"
}

install_deb() {
  DEBIAN_FRONTEND=noninteractive dpkg -i "$deb" || { say "dpkg -i failed"; exit 1; }
  if [ -d /run/systemd/system ]; then
    # postinst restarted an enabled unit; this starts one the admin had
    # stopped before the update, and does nothing when it runs.
    systemctl start halvex-service.service || say "systemctl start failed"
  else
    start_direct /usr/sbin/halvex-service
  fi
  exit 0
}

# install_program FROM TO: replaces TO in one step (a running program keeps
# its old file).
install_program() {
  install -m 0755 "$1" "$2.new" && mv -f "$2.new" "$2"
}

prefix=${HALVEX_PREFIX:-}
if [ -z "$prefix" ] && [ -n "$deb" ] && [ "$(id -u)" = 0 ] && command -v dpkg >/dev/null 2>&1; then
  install_deb
fi

prefix=${prefix:-${HOME:-/root}/.local}
bin=$here/bin
mkdir -p "$prefix/bin" || exit 1
for program in halvex-service halvex-servicectl; do
  [ -x "$bin/$program" ] || continue
  install_program "$bin/$program" "$prefix/bin/$program" || { say "cannot install $program into $prefix/bin"; exit 1; }
done
[ -x "$prefix/bin/halvex-service" ] || { say "no agent program in this installer"; exit 1; }
start_direct "$prefix/bin/halvex-service" "$prefix/halvex-service.pid"
exit 0
