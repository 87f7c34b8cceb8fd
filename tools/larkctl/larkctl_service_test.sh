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

[ $failures -eq 0 ] && echo "larkctl service: all checks passed"
exit $failures
