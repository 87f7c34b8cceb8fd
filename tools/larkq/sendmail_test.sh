#!/bin/sh
# The real larkq binary run as `sendmail` and `mailq` through links, as programs call them.
set -eu
larkq=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export LARKPOST_ROOT="$work/root"
mkdir -p "$LARKPOST_ROOT/registry" "$work/queue"
printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quobex\\LRKP]\n"QuePath"="%s"\n' \
  "$work/queue" > "$LARKPOST_ROOT/registry/HKEY_LOCAL_MACHINE.reg"
ln -s "$larkq" "$work/sendmail"
ln -s "$larkq" "$work/mailq"

fail() { echo "FAIL: $*" >&2; exit 1; }

printf 'Subject: x\nTo: a@b.test\n\nhi\n' | "$work/sendmail" -t -i --relay relay.test ||
  fail "sendmail -t -i exited $?"
set -- "$work"/queue/*.ini
[ $# -eq 1 ] && [ -f "$1" ] || fail "one queued .ini expected"
composed=$("$larkq" compose "$1")
printf '%s' "$composed" | grep -q '^To: a@b.test$' || fail "composed text lacks the To as written: $composed"
printf '%s' "$composed" | grep -q '^Subject: x$' || fail "composed text lacks Subject: $composed"

"$work/mailq" | grep -q 'a@b.test' || fail "mailq does not list the message"

code=0
printf 'Subject: none\n\nbody\n' | "$work/sendmail" -t --relay relay.test 2>/dev/null || code=$?
[ "$code" -eq 64 ] || fail "no recipient gave $code, not 64"
set -- "$work"/queue/*.ini
[ $# -eq 1 ] || fail "a refused message was queued"
echo "sendmail_test: ok"
