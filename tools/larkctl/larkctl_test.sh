#!/usr/bin/env bash
# larkctl reg as separate processes: several writers at once, and a user without write access.
set -uo pipefail
larkctl=$1
root=$(mktemp -d)
export LARKPOST_ROOT=$root
trap 'rm -rf "$root"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

key='HKLM\SOFTWARE\Quobex\LRKP'
"$larkctl" reg add "$key" /v QuePath /d /var/spool/larkpost >/dev/null || fail "first add"

# Two processes writing the hive at once lose no value.
for writer in a b; do
  (for i in $(seq 1 60); do "$larkctl" reg add "$key" /v "$writer$i" /t REG_DWORD /d "$i" /f >/dev/null || exit 1; done) &
done
wait
count=$("$larkctl" reg query "$key" | grep -c 'REG_DWORD')
[ "$count" -eq 120 ] || fail "expected 120 values after concurrent writers, found $count"

# What a writer that died before its rename left goes with the next write; nothing else stays.
echo partial >"$root/registry/HKEY_LOCAL_MACHINE.reg.~0123456789abcdef"
"$larkctl" reg add "$key" /v After /d x /f >/dev/null || fail "add after a dead writer"
left=$(cd "$root/registry" && ls -A | grep -v -x -e HKEY_LOCAL_MACHINE.reg -e HKEY_LOCAL_MACHINE.writers.lock)
[ -z "$left" ] || fail "files left in the registry directory: $left"

# Without write permission: reading works, writing is refused with the Win32 text.
if id nobody >/dev/null 2>&1 && command -v runuser >/dev/null; then
  chmod 755 "$root" "$root/registry"
  chmod 644 "$root/registry/HKEY_LOCAL_MACHINE.reg"
  # A copy the unprivileged user can reach, wherever the build tree lies.
  cp "$larkctl" "$root/larkctl" && chmod 755 "$root/larkctl"
  out=$(runuser -u nobody -- env LARKPOST_ROOT="$root" "$root/larkctl" reg query "$key" /v QuePath 2>&1) ||
    fail "nobody cannot read: $out"
  out=$(runuser -u nobody -- env LARKPOST_ROOT="$root" "$root/larkctl" reg add "$key" /v X /d y /f 2>&1)
  code=$?
  [ $code -eq 1 ] || fail "nobody's write exited $code"
  [ "$out" = "ERROR: Access is denied." ] || fail "nobody's write said: $out"
else
  echo "SKIP: no user nobody or no runuser"
fi

# Help, for larkctl and each of its commands, is the usage on standard output and exit 0.
set -f  # "/?" stays a word
for args in "--help" "reg --help" "reg query /?" "service --help" "service stop -h" "events --help"; do
  out=$("$larkctl" $args 2>"$root/err")
  code=$?
  [ $code -eq 0 ] || fail "larkctl $args exited $code"
  case $out in Usage:*) ;; *) fail "larkctl $args printed: $out" ;; esac
  [ -s "$root/err" ] && fail "larkctl $args wrote to stderr: $(cat "$root/err")"
done
set +f
out=$("$larkctl" --version) || fail "larkctl --version failed"
[[ $out =~ ^larkctl\ [0-9]+\.[0-9]+$ ]] || fail "larkctl --version printed: $out"

# Usage errors exit 2, failed operations 1.
"$larkctl" >/dev/null 2>&1; [ $? -eq 2 ] || fail "no arguments should exit 2"
"$larkctl" reg query 'HKLM\Nothing' >/dev/null 2>&1; [ $? -eq 1 ] || fail "missing key should exit 1"

[ $failures -eq 0 ] && echo "larkctl: all checks passed"
exit $failures
