#!/usr/bin/env bash
# larkctl events as a separate process: the command line itself, and --follow picking up lines
# that another process appends until it is interrupted.
set -uo pipefail
larkctl=$1
root=$(mktemp -d)
export LARKPOST_ROOT=$root
follower=
cleanup() {
  [ -n "$follower" ] && kill "$follower" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
log=$root/eventlog/Application.jsonl
record() {
  printf '{"category":0,"id":%s,"pid":1,"source":"%s","strings":["%s"],"time":"%s","type":%s}\n' \
    "$1" "$2" "$3" "2026-12-08T10:38:10+01:00" "$4"
}

out=$("$larkctl" events 2>&1) || fail "a missing log should exit 0"
[ -z "$out" ] || fail "a missing log printed: $out"

mkdir -p "$root/eventlog"
{ record 3221225728 Larkpost "Delivery failed" 1; record 7 Other "started" 4; } >"$log"
out=$("$larkctl" events --source larkpost 2>&1) || fail "events exited $?"
case $out in
  *"  Error          Larkpost  256  Delivery failed") ;;
  *) fail "unexpected listing: $out" ;;
esac
[ "$("$larkctl" events --json -n 1)" = "$(record 7 Other started 4)" ] || fail "--json -n 1"

"$larkctl" events -n >/dev/null 2>&1; [ $? -eq 2 ] || fail "-n without a number should exit 2"
"$larkctl" events '/?' | grep -q -- '--follow' || fail "events /? shows no usage"

"$larkctl" events --follow --source Larkpost >"$root/followed" 2>"$root/follow-errors" &
follower=$!
record 9 Larkpost "appended later" 2 >>"$log"
record 10 Other "not for this source" 4 >>"$log"
for _ in $(seq 1 100); do
  grep -q 'appended later' "$root/followed" && break
  sleep 0.1
done
grep -q '  Warning        Larkpost  9  appended later' "$root/followed" ||
  fail "--follow did not show the appended entry: $(cat "$root/followed")"
kill "$follower" && wait "$follower" 2>/dev/null
follower=
[ "$(grep -c . "$root/followed")" -eq 2 ] || fail "--follow printed: $(cat "$root/followed")"
[ -s "$root/follow-errors" ] && fail "--follow complained: $(cat "$root/follow-errors")"

[ $failures -eq 0 ] && echo "larkctl events: all checks passed"
exit $failures
