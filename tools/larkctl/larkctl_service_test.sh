#!/usr/bin/env bash
# larkctl service as separate processes: a service installed through the registry alone, started
# and stopped by its owner, queried but not controlled by another user.
set -uo pipefail
larkctl=$1
probe=$2
root=$(mktemp -d)
export LARKPOST_ROOT=$root
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cleanup() {
  "$larkctl" service stop LarkProbe >/dev/null 2>&1
  LARKPOST_ROOT=$root/small "$larkctl" service stop LarkProbe >/dev/null 2>&1
  umount -l "$root/small" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT

key='HKLM\SYSTEM\CurrentControlSet\Services\LarkProbe'
# A copy the unprivileged user can reach, wherever the build tree lies.
cp "$probe" "$root/probe" && chmod 755 "$root/probe" "$root"
"$larkctl" reg add "$key" /v ImagePath /t REG_EXPAND_SZ /d "$root/probe" >/dev/null || fail "install"
"$larkctl" reg add "$key" /v Type /t REG_DWORD /d 16 >/dev/null || fail "install"

out=$("$larkctl" service start LarkProbe 2>&1) || fail "start: $out"
[ "$out" = "LarkProbe started." ] || fail "start said: $out"

if id nobody >/dev/null 2>&1 && command -v runuser >/dev/null && [ "$(id -u)" -eq 0 ]; then
  as_nobody() { runuser -u nobody -- env LARKPOST_ROOT="$root" "$root/larkctl" "$@" 2>&1; }
  cp "$larkctl" "$root/larkctl" && chmod 755 "$root/larkctl"
  out=$(as_nobody service query LarkProbe) || fail "nobody cannot query: $out"
  echo "$out" | grep -q 'STATE              : 4  RUNNING' || fail "nobody's query said: $out"
  out=$(as_nobody service stop LarkProbe)
  code=$?
  [ $code -eq 1 ] || fail "nobody's stop exited $code"
  [ "$out" = "ERROR: Access is denied." ] || fail "nobody's stop said: $out"
else
  echo "SKIP: not root, or no user nobody or no runuser"
fi

out=$("$larkctl" service stop LarkProbe 2>&1) || fail "stop: $out"
[ "$out" = "LarkProbe stopped." ] || fail "stop said: $out"
for _ in $(seq 1 100); do
  [ -e "$root/run/services/LarkProbe/control" ] || break
  sleep 0.05
done
[ -e "$root/run/services/LarkProbe/control" ] && fail "the control socket was left behind"

# Run in the foreground as systemd runs it, beside a stand-in for systemd's notify socket: READY
# once RUNNING can be read, no second instance, SIGTERM a clean stop, the service's exit code kept.
/usr/bin/python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM); s.bind(sys.argv[1]); s.settimeout(60)
while True: open(sys.argv[2], "ab").write(s.recv(4096) + b"\n")' "$root/notify" "$root/notified" &
listener=$!
await() { for _ in $(seq 1 200); do eval "$1" && return; sleep 0.05; done; false; }
await '[ -S "$root/notify" ]' || fail "the stand-in notify socket"
NOTIFY_SOCKET=$root/notify "$larkctl" service run LarkProbe >"$root/run.out" 2>&1 &
runner=$!
await 'grep -q READY=1 "$root/notified"' || fail "no READY=1 from the service"
"$larkctl" service query LarkProbe | grep -q '4  RUNNING' || fail "READY=1 before RUNNING"
out=$("$larkctl" service start LarkProbe 2>&1) && fail "a second instance started"
echo "$out" | grep -qF "LarkProbe is run by systemd (larkctl service run, pid $runner); use systemctl." ||
  fail "start beside run said: $out"
kill -TERM $runner
wait $runner
code=$?
[ $code -eq 0 ] || fail "run ended $code after SIGTERM: $(cat "$root/run.out")"
await 'grep -q STOPPING=1 "$root/notified"' || fail "no STOPPING=1 from the service"
"$larkctl" service query LarkProbe | grep -q 'WIN32_EXIT_CODE    : 0 ' || fail "not a clean stop"
"$larkctl" service run LarkProbe >/dev/null 2>&1 &
runner=$!
await '"$larkctl" service query LarkProbe | grep -q "4  RUNNING"' || fail "run did not start"
out=$("$larkctl" service stop LarkProbe 2>&1) || fail "stop beside run: $out"
wait $runner || fail "run ended $? after larkctl service stop"
"$larkctl" reg add "$key\Parameters" /v Behaviour /d fail >/dev/null || fail "make the probe fail"
NOTIFY_SOCKET=$root/notify "$larkctl" service run LarkProbe >/dev/null 2>&1
code=$?
[ $code -eq 42 ] || fail "run of a service failing with 42 ended $code"
"$larkctl" reg delete "$key\Parameters" /f >/dev/null
kill $listener

# A machine root with no room for the service's state, and then a read-only one: the start fails
# with the disk's own error.
mkdir "$root/small"
if mount -t tmpfs -o size=256k,mode=0755 larkctl-test "$root/small" 2>/dev/null; then
  small() { LARKPOST_ROOT=$root/small "$larkctl" "$@" 2>&1; }
  small reg add "$key" /v ImagePath /t REG_EXPAND_SZ /d "$root/probe" >/dev/null &&
    small reg add "$key" /v Type /t REG_DWORD /d 16 >/dev/null &&
    small service start LarkProbe >/dev/null && small service stop LarkProbe >/dev/null ||
    fail "the probe on the small machine root"
  # Its run directory stays; only the status record finds no room.
  rm -f "$root/small/run/services/LarkProbe/status"
  dd if=/dev/zero of="$root/small/fill" bs=4k status=none 2>/dev/null
  out=$(small service start LarkProbe) && fail "started with no room for its state"
  [ "$out" = "ERROR: There is not enough space on the disk." ] || fail "a full disk: $out"
  mount -o remount,ro "$root/small" || fail "remount read-only"
  out=$(small service start LarkProbe) && fail "started on a read-only machine root"
  [ "$out" = "ERROR: The media is write protected." ] || fail "a read-only disk: $out"
else
  echo "SKIP: mounting a small file system is not permitted here"
fi

[ $failures -eq 0 ] && echo "larkctl service: all checks passed"
exit $failures
