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
# The log started anew at its maximum size: the rest of the old file is still shown, and the new
# one from its first line, even when it is already longer than what was read of the old one.
record 11 Larkpost "last of the full log" 2 >>"$log"
{ record 12 Larkpost "first of the new log $(printf '%04000d' 0)" 2; record 13 Larkpost "second" 2; } >"$log.new"
mv "$log" "$log.1" && mv "$log.new" "$log"
for _ in $(seq 1 100); do
  grep -q '  13  second' "$root/followed" && break
  sleep 0.1
done
kill "$follower" && wait "$follower" 2>/dev/null
follower=
for text in "11  last of the full log" "12  first of the new log" "13  second"; do
  grep -q "  $text" "$root/followed" || fail "--follow lost '$text' across a new log"
done
[ "$(grep -c . "$root/followed")" -eq 5 ] || fail "--follow printed: $(cat "$root/followed")"
[ -s "$root/follow-errors" ] && fail "--follow complained: $(cat "$root/follow-errors")"

# -n reads from the end: a 210 MB log takes no more memory than a small one.
line=$(record 1 Larkpost "Delivery failed: relay refused the recipient" 1)
yes "$line" | head -n $((210 * 1024 * 1024 / (${#line} + 1))) >"$log"
record 2 Larkpost "the very last" 4 >>"$log"
out=$(/usr/bin/time -f %M -o "$root/rss" "$larkctl" events -n 1) || fail "events -n 1 exited $?"
case $out in *"  2  the very last") ;; *) fail "events -n 1 of a large log: $out" ;; esac
[ "$(cat "$root/rss")" -lt 65536 ] || fail "events -n 1 of a 210 MB log took $(cat "$root/rss") KB"

[ $failures -eq 0 ] && echo "larkctl events: all checks passed"
exit $failures
