#!/usr/bin/env bash
# The service framework as an administrator meets it: a probe service installed, started,
# paused, stopped, killed and removed through the control manager, in a fresh machine root.
set -uo pipefail
probe=$(realpath "$1")
larkctl=$(realpath "$2")
root=$(mktemp -d)
export LARKPOST_ROOT=$root
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
cleanup() {
  pkill -KILL -f "^$probe\$" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
svc='HKLM\SYSTEM\CurrentControlSet\Services\LarkProbe'

state() { "$larkctl" service query LarkProbe 2>&1 | awk '/STATE/ {print $4}'; }
# Waits up to $2 tenths of a second for the probe to reach state $1.
await_state() {
  for _ in $(seq 1 "$2"); do
    [ "$(state)" = "$1" ] && return 0
    sleep 0.1
  done
  return 1
}
running_probes() { pgrep -f "^$probe\$" | wc -l; }

# Started from a shell without a switch, the program says how it is meant to run.
for args in "" "-help"; do
  out=$("$probe" $args 2>&1 >/dev/null)
  code=$?
  [ $code -eq 1 ] || fail "'$args' exited $code"
  [[ $out == "StartServiceCtrlDispatcher failed."* ]] || fail "'$args' said: $out"
  [[ $out == *"-DEBUG"* && $out == *"-INSTALL"* ]] || fail "no hint: $out"
done

# Install: the database entry and the event source appear.
out=$("$probe" -install)
[ "$out" = "Lark Probe Service installed." ] || fail "install said: $out"
"$larkctl" reg query "$svc" /v ImagePath | grep -q "$probe" || fail "no ImagePath"
"$larkctl" reg query "$svc" /v Type | grep -q '0x10' || fail "not an own-process service"
"$larkctl" reg query "$svc" /v Start | grep -q '0x3' || fail "not demand start"
"$larkctl" reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\LarkProbe' \
  /v EventMessageFile | grep -q "$probe" || fail "no event source"
out=$("$probe" /Install)
code=$?
[ $code -eq 1 ] || fail "a second install exited $code"
[[ $out == "CreateService failed - The specified service already exists. (\$431)" ]] ||
  fail "a second install said: $out"
[ "$(state)" = STOPPED ] || fail "installed but not stopped: $(state)"

# Start, interrogate, pause, continue, stop.
"$larkctl" service start LarkProbe >/dev/null || fail "start"
[ "$(state)" = RUNNING ] || fail "not running after start: $(state)"
"$larkctl" service interrogate LarkProbe | grep -q 'RUNNING' || fail "interrogate"
"$larkctl" service pause LarkProbe >/dev/null || fail "pause"
[ "$(state)" = PAUSED ] || fail "not paused: $(state)"
"$larkctl" service continue LarkProbe >/dev/null || fail "continue"
[ "$(state)" = RUNNING ] || fail "not running after continue: $(state)"
"$larkctl" service start LarkProbe >/dev/null 2>&1 && fail "a second start was accepted"
"$larkctl" service stop LarkProbe >/dev/null || fail "stop"
[ "$(state)" = STOPPED ] || fail "not stopped: $(state)"
await_state STOPPED 20 && [ "$(running_probes)" -eq 0 ] || fail "the process outlived its stop"
"$larkctl" events --source LarkProbe | grep -q 'LarkProbe running' || fail "no event log entry"

# A service that ignores the stop is ended by the watchdog; the process does not abort.
"$larkctl" reg add "$svc\\Parameters" /v Behaviour /d ignore /f >/dev/null
"$larkctl" service start LarkProbe >/dev/null || fail "start of the stubborn probe"
"$larkctl" service stop LarkProbe >/dev/null
await_state STOPPED 100 || fail "the watchdog did not end the stubborn probe: $(state)"
for _ in $(seq 1 50); do [ "$(running_probes)" -eq 0 ] && break; sleep 0.1; done
[ "$(running_probes)" -eq 0 ] || fail "the stubborn probe's process lives on"
"$larkctl" events --source LarkProbe | grep -qi 'abort' && fail "the process aborted"

# A service whose Execute fails is reported stopped, and the error is logged.
"$larkctl" reg add "$svc\\Parameters" /v Behaviour /d raise /f >/dev/null
"$larkctl" service start LarkProbe >/dev/null 2>&1
await_state STOPPED 50 || fail "a failing probe is not stopped"
"$larkctl" events --source LarkProbe | grep -q 'LarkProbe raised EService: the probe was told to fail' ||
  fail "the failure was not logged"
"$larkctl" service query LarkProbe | grep -q 'WIN32_EXIT_CODE *: 1067 ' ||
  fail "the exit code is lost: $("$larkctl" service query LarkProbe)"
"$larkctl" reg add "$svc\\Parameters" /v Behaviour /d wait /f >/dev/null

# kill -9: reported stopped within a second, and it starts again.
"$larkctl" service start LarkProbe >/dev/null || fail "start before kill"
pkill -KILL -f "^$probe\$"
await_state STOPPED 10 || fail "a killed service is reported $(state)"
"$larkctl" service start LarkProbe >/dev/null || fail "start after kill"
[ "$(state)" = RUNNING ] || fail "not running after the restart"

# Only the owner controls it.
if id nobody >/dev/null 2>&1 && command -v runuser >/dev/null; then
  chmod 755 "$root"
  cp "$larkctl" "$root/larkctl" && chmod 755 "$root/larkctl"
  out=$(runuser -u nobody -- env LARKPOST_ROOT="$root" "$root/larkctl" service stop LarkProbe 2>&1)
  code=$?
  [ $code -eq 1 ] || fail "nobody's stop exited $code"
  [[ $out == *"Access is denied."* ]] || fail "nobody's stop said: $out"
  [ "$(state)" = RUNNING ] || fail "nobody stopped the service"
else
  echo "SKIP: no user nobody or no runuser"
fi

# Remove stops a running service first, printing a dot while it is stop pending.
"$larkctl" service stop LarkProbe >/dev/null || fail "stop before the stubborn remove"
"$larkctl" reg add "$svc\\Parameters" /v Behaviour /d ignore /f >/dev/null
"$larkctl" service start LarkProbe >/dev/null || fail "start before the stubborn remove"
out=$("$probe" -REMOVE)
[[ $out == "Stopping Lark Probe Service"* ]] || fail "remove did not stop first: $out"
[ "$(grep -c '^\.$' <<<"$out")" -ge 2 ] || fail "no dots while stop pending: $out"
[[ $out == *"Lark Probe Service stopped."*"Lark Probe Service removed." ]] || fail "remove said: $out"
"$larkctl" reg query "$svc" >/dev/null 2>&1 && fail "the database entry is still there"
"$larkctl" reg query 'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\LarkProbe' \
  >/dev/null 2>&1 && fail "the event source is still there"
[ "$(running_probes)" -eq 0 ] || fail "the removed service still runs"

# Installed to start automatically, it starts at once.
out=$(PROBE_START_TYPE=2 "$probe" -INSTALL)
[[ $out == *"Lark Probe Service started."* ]] || fail "automatic start said: $out"
[ "$(state)" = RUNNING ] || fail "not running after an automatic install"
"$larkctl" service stop LarkProbe >/dev/null || fail "stop of the automatic probe"

# Fifty starts and stops leave no process, socket or status file behind.
for i in $(seq 1 50); do
  "$larkctl" service start LarkProbe >/dev/null || { fail "start $i"; break; }
  "$larkctl" service stop LarkProbe >/dev/null || { fail "stop $i"; break; }
done
await_state STOPPED 20 || fail "not stopped after the cycles"
for _ in $(seq 1 20); do [ "$(running_probes)" -eq 0 ] && break; sleep 0.1; done
[ "$(running_probes)" -eq 0 ] || fail "processes left after the cycles"
left=$(find "$root/run" -mindepth 3 ! -name status ! -name lock 2>/dev/null | wc -l)
[ "$left" -eq 0 ] || fail "files left in run/: $(find "$root/run" -mindepth 2)"
"$probe" -remove >/dev/null || fail "the last remove"

# A key of another name runs the program's one service under that name; -ACCOUNT sets the user.
"$larkctl" reg add "${svc%LarkProbe}Renamed" /v ImagePath /t REG_EXPAND_SZ /d "$probe" >/dev/null
"$larkctl" service start Renamed >/dev/null && "$larkctl" service stop Renamed >/dev/null ||
  fail "a renamed service did not start and stop"
"$probe" -INSTALL -ACCOUNT nobody >/dev/null && "$larkctl" reg query "$svc" /v ObjectName |
  grep -q 'nobody' || fail "no account in ObjectName"

# The debug run: in the foreground until Ctrl-C.
out_file=$root/debug.out
"$probe" -DEBUG >"$out_file" 2>&1 &
pid=$!
for _ in $(seq 1 50); do grep -q 'Press <Ctrl>-Break to terminate' "$out_file" && break; sleep 0.1; done
kill -INT $pid
wait $pid
code=$?
[ $code -eq 0 ] || fail "the debug run exited $code"
grep -q '^Starting Lark Probe Service' "$out_file" || fail "debug run: $(cat "$out_file")"
grep -q '^Stopping Lark Probe Service' "$out_file" || fail "no stop on Ctrl-C: $(cat "$out_file")"

[ $failures -eq 0 ] && echo "service host: all checks passed"
exit $failures
