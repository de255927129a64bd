#!/bin/bash
# The Linux packages as a user gets them: `cpack` in the build folder, then
#   - file names, control fields and dependencies of both .debs;
#   - lintian: no error;
#   - the files unpacked into a throwaway root (dpkg-deb -x): programs,
#     systemd units, documentation;
#   - the maintainer scripts run for install, remove and purge, in a mount
#     namespace of their own (/var/lib, /etc/passwd and /etc/group are
#     scratch copies there), with systemd's helpers and adduser recorded by
#     stand-ins; the server's postinst runs the real `recovery-server init`;
#   - Halvex_Service_Setup.run: a makeself archive carrying the agent .deb.
# Usage: deb_test.sh BUILD_DIR VERSION
set -uo pipefail

build=$1
version=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/deb-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
check() {  # check WHAT COMMAND...: one line per check
  local what=$1
  shift
  if "$@" >/dev/null 2>&1; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
has_line() { grep -qxF -- "$2" "$1"; }

(cd "$build" && cpack -B "$scratch/out" >"$scratch/cpack.log" 2>&1) || { cat "$scratch/cpack.log"; exit 1; }
agent=$scratch/out/halvex-service_${version}_amd64.deb
server=$scratch/out/recovery-server_${version}_amd64.deb
installer=$scratch/out/Halvex_Service_Setup.run
check "agent package named halvex-service_${version}_amd64.deb" test -f "$agent"
check "server package named recovery-server_${version}_amd64.deb" test -f "$server"
[[ -f $agent && -f $server ]] || exit 1

field() { dpkg-deb -f "$1" "$2"; }
check "agent version" test "$(field "$agent" Version)" = "$version"
for lib in libc6 libcjson1 libsodium23 libssl3 libcurl4 libstdc++6 init-system-helpers; do
  check "agent depends on $lib" grep -q "\\b$lib\\b" <<<"$(field "$agent" Depends)"
done
check "agent recommends ffmpeg" grep -q '\bffmpeg\b' <<<"$(field "$agent" Recommends)"
for lib in libc6 libcjson1 libsodium23 libssl3 libsqlite3-0 adduser init-system-helpers; do
  check "server depends on $lib" grep -q "\\b$lib\\b" <<<"$(field "$server" Depends)"
done

lintian --no-cfg "$agent" "$server" >"$scratch/lintian.log" 2>&1
check "lintian reports no error" bash -c "! grep -q '^E: ' '$scratch/lintian.log'"
grep '^[EW]: ' "$scratch/lintian.log"

# ---- files ----
root=$scratch/root
mkdir -p "$root"
dpkg-deb -x "$agent" "$root"
dpkg-deb -x "$server" "$root"
unit=$root/lib/systemd/system/halvex-service.service
sunit=$root/lib/systemd/system/recovery-server.service
check "agent program" test -x "$root/usr/sbin/halvex-service"
check "control program" test -x "$root/usr/bin/halvex-servicectl"
check "server program" test -x "$root/usr/bin/recovery-server"
check "agent program is stripped" bash -c "! readelf -S '$root/usr/sbin/halvex-service' | grep -q '\\.debug_info'"
for line in "ExecStart=/usr/sbin/halvex-service" "User=root" "Restart=on-failure" \
            "StateDirectory=halvex-service-native" "StateDirectoryMode=0700" "KillMode=process" \
            "WantedBy=multi-user.target"; do
  check "agent unit: $line" has_line "$unit" "$line"
done
for line in "User=recovery-server" "Restart=on-failure" "ReadWritePaths=/var/lib/recovery-server" \
            "ExecStart=/usr/bin/recovery-server serve --data /var/lib/recovery-server --listen \${LISTEN}" \
            "WantedBy=multi-user.target"; do
  check "server unit: $line" has_line "$sunit" "$line"
done
# The programs are not installed on this machine: that is the one
# complaint allowed.
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify --man=no "$unit" "$sunit" 2>&1 | grep -v 'Command /usr/s\?bin/[a-z-]* is not executable' \
    >"$scratch/verify.log"
  check "units pass systemd-analyze verify" test ! -s "$scratch/verify.log"
  cat "$scratch/verify.log"
fi

# ---- maintainer scripts ----
ctl=$scratch/control
mkdir -p "$ctl/agent" "$ctl/server" "$scratch/stubs"
dpkg-deb -e "$agent" "$ctl/agent"
dpkg-deb -e "$server" "$ctl/server"
calls=$scratch/calls
for tool in deb-systemd-helper deb-systemd-invoke systemctl; do
  # was-enabled answers yes, as for a new installation.
  printf '#!/bin/sh\necho "%s $*" >> "%s"\n' "$tool" "$calls" >"$scratch/stubs/$tool"
done
# adduser: records the call and adds the user to the namespace's copies.
cat >"$scratch/stubs/adduser" <<STUB
#!/bin/sh
echo "adduser \$*" >> "$calls"
for name; do :; done
echo "\$name:x:990:990::/var/lib/\$name:/usr/sbin/nologin" >> /etc/passwd
echo "\$name:x:990:" >> /etc/group
STUB
# runuser -u USER -- PROGRAM ARGS: records, then runs the program from the
# throwaway root as that user.
cat >"$scratch/stubs/runuser" <<STUB
#!/bin/sh
echo "runuser \$*" >> "$calls"
user=\$2
shift 3
program=\$1
shift
exec setpriv --reuid="\$(id -u "\$user")" --regid="\$(id -g "\$user")" --clear-groups "$root\$program" "\$@"
STUB
chmod 755 "$scratch"/stubs/*
cp /etc/passwd "$scratch/passwd"
cp /etc/group "$scratch/group"
mkdir -p "$scratch/varlib"

# in_root SCRIPT...: runs the lines in the private namespace.
in_ns() {
  unshare -m --propagation private bash -c "
    mount --bind '$scratch/varlib' /var/lib && mount --bind '$scratch/passwd' /etc/passwd &&
    mount --bind '$scratch/group' /etc/group || exit 99
    export PATH='$scratch/stubs':\$PATH
    $1"
}
if ! unshare -m --propagation private true 2>/dev/null; then
  echo "skip maintainer scripts: no mount namespace here"
else
  : >"$calls"
  in_ns "'$ctl/server/postinst' configure && '$ctl/agent/postinst' configure"
  check "postinst scripts succeed" test $? -eq 0
  check "server postinst adds the system user" grep -q '^adduser --system --group .*recovery-server$' "$calls"
  check "server postinst runs init as that user" \
    grep -q '^runuser -u recovery-server -- /usr/bin/recovery-server init --data /var/lib/recovery-server' "$calls"
  check "init made the CA" test -s "$scratch/varlib/recovery-server/ca.pem"
  check "the data folder belongs to the user" test "$(stat -c %u:%a "$scratch/varlib/recovery-server")" = "990:700"
  check "server unit enabled" grep -qx 'deb-systemd-helper enable recovery-server.service' "$calls"
  check "agent unit enabled" grep -qx 'deb-systemd-helper enable halvex-service.service' "$calls"
  # Again (an upgrade): the folder is kept, init is not run a second time.
  : >"$calls"
  in_ns "'$ctl/server/postinst' configure $version"
  check "upgrade keeps the data folder" bash -c "! grep -q '^runuser' '$calls'"
  mkdir -p "$scratch/varlib/halvex-service-native"
  in_ns "'$ctl/agent/prerm' remove && '$ctl/agent/postrm' remove"
  check "remove keeps the agent's data" test -d "$scratch/varlib/halvex-service-native"
  check "remove masks the agent unit" grep -qx 'deb-systemd-helper mask halvex-service.service' "$calls"
  in_ns "'$ctl/agent/postrm' purge && '$ctl/server/prerm' remove && '$ctl/server/postrm' purge"
  check "purge deletes the agent's data" test ! -e "$scratch/varlib/halvex-service-native"
  check "purge deletes the server's data" test ! -e "$scratch/varlib/recovery-server"
  check "purge forgets the unit" grep -qx 'deb-systemd-helper purge recovery-server.service' "$calls"
fi

# ---- installer ----
check "installer is a makeself archive" bash -c "sh '$installer' --list | grep -q 'halvex-service_${version}_amd64.deb'"
check "installer carries the agent program" bash -c "sh '$installer' --list | grep -q 'bin/halvex-service\$'"
check "installer carries the control program" bash -c "sh '$installer' --list | grep -q 'bin/halvex-servicectl\$'"
check "installer is at least 1,000,000 bytes" test "$(stat -c %s "$installer")" -ge 1000000

echo "$failures failed"
[[ $failures -eq 0 ]]
