#!/usr/bin/env bash
# larkq as a new user meets it: help and version on standard output, the messages of a fresh
# machine, and the notice when the body is awaited on a terminal.
set -uo pipefail
larkq=$1
root=$(mktemp -d)
export LARKPOST_ROOT=$root
trap 'rm -rf "$root"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
queue=$root/queue
mkdir -p "$queue"

# Every command answers --help with its usage on standard output, and nothing else.
for command in "" list add compose send; do
  out=$("$larkq" $command --help 2>"$root/err")
  code=$?
  [ $code -eq 0 ] || fail "larkq $command --help exited $code"
  case $out in "Usage: larkq $command"*) ;; *) fail "larkq $command --help printed: $out" ;; esac
  [ -s "$root/err" ] && fail "larkq $command --help wrote to stderr: $(cat "$root/err")"
done
out=$("$larkq" --version) || fail "larkq --version failed"
[[ $out =~ ^larkq\ [0-9]+\.[0-9]+$ ]] || fail "larkq --version printed: $out"

# A fresh machine: no Failed directory yet, no QuePath, a bare name that is nowhere.
out=$("$larkq" list --failed "$queue" 2>&1) || fail "list --failed without Failed/: $out"
[ "$out" = "No failed messages in $queue/Failed" ] || fail "list --failed printed: $out"
out=$("$larkq" list 2>&1)
[ $? -eq 1 ] || fail "list without QuePath should exit 1"
case $out in *"QuePath setting is empty"*"larkctl reg add"*) ;; *) fail "list without QuePath: $out" ;; esac
out=$("$larkq" send "$queue/nonexistent.ini" 2>&1)
[ "$out" = "larkq send: no such queued message: $queue/nonexistent.ini" ] || fail "send: $out"

add=(add --from "Shop <shop@example.com>" --to ann@example.org --relay relay1 "$queue")
# The body on a terminal is announced on stderr; from a pipe or /dev/null it is not.
notice=$(python3 - "$larkq" "${add[@]}" <<'PY'
import os, pty, subprocess, sys
master, terminal = pty.openpty()
os.write(master, b"Typed body\n\x04")
done = subprocess.run(sys.argv[1:], stdin=terminal, capture_output=True, timeout=20)
sys.stdout.write(done.stderr.decode())
sys.exit(done.returncode)
PY
) || fail "add from a terminal failed: $notice"
case $notice in
  "larkq add: reading the message body from standard input"*) ;;
  *) fail "add from a terminal said: $notice" ;;
esac
grep -rq "Typed body" "$queue" || fail "the body typed on the terminal was not queued"
out=$(echo piped | "$larkq" "${add[@]}" 2>&1 >/dev/null) || fail "add from a pipe failed: $out"
[ -z "$out" ] || fail "add from a pipe said: $out"
out=$("$larkq" "${add[@]}" </dev/null 2>&1 >/dev/null) || fail "add from /dev/null failed: $out"
[ -z "$out" ] || fail "add from /dev/null said: $out"

# A message reported queued survives a crash of the machine: traced, its body is synced, then its
# .ini written and synced, renamed into place and the directory synced, before the path is printed.
if command -v strace >/dev/null; then
  # The leak checker of a sanitizer build cannot run under a tracer.
  out=$(echo durable | ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" strace -f -o "$root/trace" -e trace=openat,write,fsync,fdatasync,renameat2,close \
    "$larkq" "${add[@]}" 2>&1) || fail "traced add failed: $out"
  /usr/bin/python3 - "$root/trace" "$queue" "$out" <<'PY' || fail "add reported success too early"
import re, sys
trace, queue, ini = sys.argv[1:]
body, part = ini[:-4] + ".tmp", ini + ".part"
fds, events = {}, []
for line in open(trace):
    call = re.match(r'\d+\s+(\w+)\(([^,)]*)(.*)\)\s+= (-?\d+)', line)
    if not call:
        continue
    name, fd, result = call.group(1), call.group(2), int(call.group(4))
    paths = re.findall(r'"([^"]*)"', call.group(2) + call.group(3))
    if name == "openat" and result >= 0:
        fds[str(result)] = paths[0]
    elif name == "close":
        fds.pop(fd, None)
    elif name == "renameat2" and result == 0:
        events.append(("rename", paths[1]))
    elif name != "openat":
        events.append((name.replace("fdatasync", "fsync"), "stdout" if fd == "1" else fds.get(fd)))
order = [("fsync", body), ("fsync", part), ("rename", ini), ("fsync", queue), ("write", "stdout")]
steps = [events.index(e) if e in events else -1 for e in order]
written = [max((i for i, e in enumerate(events) if e == ("write", p)), default=0) for p in (body, part)]
if -1 in steps or steps != sorted(steps) or written[0] > steps[0] or written[1] > steps[1]:
    sys.exit(f"out of order: {events}")
PY
fi

# A queued body is read a block at a time, never held whole: composing one of 64 MB stays below
# its size in memory (the bound is generous: a sanitizer build keeps freed blocks for a while; the
# text is composed into a file, not printed here).
big=$queue/big
printf '[Message]\r\nFromAddr=a@b.test\r\nNTO1=Ann\r\nATO1=ann@x.test\r\n' >"$big.ini"
yes 'The quick brown fox jumps over the lazy dog.' | head -c $((64 << 20)) >"$big.tmp"
size=$(/usr/bin/time -f %M -o "$root/rss" "$larkq" compose "$big.ini" | wc -c)
kb=$(cat "$root/rss")
[ "$size" -gt $((64 << 20)) ] || fail "compose of the 64 MB body printed $size bytes"
[ "${kb:-0}" -gt 0 ] && [ "$kb" -lt 65536 ] || fail "compose of a 64 MB body took ${kb:-?} KB of memory"
rm -f "$big.ini" "$big.tmp"

[ $failures -eq 0 ] && echo "larkq: all checks passed"
exit $failures
