#!/usr/bin/env bash
# Builds the packages, checks them with lintian, then installs, removes and purges them as an
# administrator would, in a copy-on-write view of this machine: an overlay of / in a mount
# namespace of its own, so a failure anywhere leaves the machine untouched.
set -euo pipefail

skip() { echo "package_test: skipped: $*"; exit 77; }
fail() { echo "package_test: $*" >&2; exit 1; }

# Inside the view, as its root: the checks themselves.
if [ "${1:-}" = --inside ]; then
  cd /tmp/larkpost-debs
  expect() { "${@:2}" >/dev/null 2>&1 || fail "$1 (checked with: ${*:2})"; }
  mode() { [ "$(stat -c '%a %U %G' "$1")" = "$2" ] || fail "$1 is $(stat -c '%a %U %G' "$1"), not $2"; }
  export LARKPOST_ROOT=/var/lib/larkpost
  settings='HKLM\SOFTWARE\Quobex\LRKP'
  hive=/var/lib/larkpost/registry/HKEY_LOCAL_MACHINE.reg
  dpkg -i ./larkpost_*.deb ./wrenset_*.deb >install.log 2>&1 || { cat install.log; fail "dpkg -i failed"; }
  expect "the account larkpost is a system user in group larkpost" \
    sh -c '[ "$(id -gn larkpost)" = larkpost ] && [ "$(id -u larkpost)" -lt 1000 ]'
  while read -r path want; do mode "$path" "$want"; done <<MODES
/var/spool/larkpost 2770 larkpost larkpost
/var/spool/larkpost/Failed 2770 larkpost larkpost
/var/lib/larkpost/registry 755 root root
/var/lib/larkpost/run 775 root larkpost
$hive 644 root root
MODES
  for name in /usr/sbin/sendmail /usr/lib/sendmail /usr/bin/mailq; do
    [ "$(readlink -f "$name")" = /usr/bin/larkq ] || fail "$name does not lead to /usr/bin/larkq"
  done
  expect "QuePath names the queue" sh -c "larkctl reg query '$settings' /v QuePath | grep -q /var/spool/larkpost"
  expect "the service is registered to run as larkpost" \
    sh -c "larkctl reg query 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\Larkpost' /v ObjectName | grep -q larkpost"
  expect "the unit is enabled" test -L /etc/systemd/system/multi-user.target.wants/larkpost.service
  systemd-analyze verify /lib/systemd/system/larkpost.service || fail "systemd-analyze verify refused the unit"
  expect "the manual pages are found" sh -c 'man -w larkctl && man -w larkq && man -w larkpost && man -w wrenset && man -w 8 sendmail'
  # A web application's user in the group queues mail; any other user cannot even look.
  larkctl reg add "$settings" /v RemoteHosts /d 127.0.0.1 /f >/dev/null
  useradd --system --groups larkpost larkpost-webapp
  printf 'To: ann@example.org\nSubject: from the shop\n\nhello\n' |
    runuser -u larkpost-webapp -- env -u LARKPOST_ROOT /usr/sbin/sendmail -t -i ||
    fail "a member of the group could not queue with sendmail"
  ini=$(find /var/spool/larkpost -maxdepth 1 -name '*.ini' | head -n 1)
  [ -n "$ini" ] || fail "sendmail of a group member left nothing in the queue"
  mode "$ini" "640 larkpost-webapp larkpost"
  expect "a user outside the group cannot list the queue" \
    sh -c '! runuser -u nobody -- ls /var/spool/larkpost'
  expect "a user other than root cannot change the settings" \
    sh -c "! runuser -u nobody -- larkctl reg add '$settings' /v QuePath /d /tmp /f"
  # The service, as larkpost, delivers what a group member queues, while the log is rotated.
  mkdir /tmp/received
  /usr/bin/python3 smtp_sink.py /tmp/received &
  sink=$!
  trap 'larkctl service stop Larkpost >/dev/null 2>&1 || true; kill "$sink" 2>/dev/null || true' EXIT
  for _ in $(seq 100); do [ -f /tmp/received/port ] && break; sleep 0.1; done
  for value in "RemoteHosts /d 127.0.0.1:$(cat /tmp/received/port)" "SettleTime /t REG_DWORD /d 0" \
    "PollInterval /t REG_DWORD /d 100" "DispatchOnFinish /t REG_DWORD /d 1"; do
    eval "larkctl reg add '$settings' /v $value /f" >/dev/null
  done
  rm -f /var/spool/larkpost/*.ini /var/spool/larkpost/*.tmp
  larkctl service start Larkpost >/dev/null || fail "the service did not start"
  for n in $(seq 40); do
    printf 'To: ann@example.org\nSubject: %s\n\nhello\n' "$n" |
      runuser -u larkpost-webapp -- env -u LARKPOST_ROOT /usr/sbin/sendmail -t -i || fail "queueing message $n failed"
    if [ "$n" = 20 ]; then
      logrotate -f /etc/logrotate.d/larkpost || fail "logrotate refused to rotate the message log"
    fi
  done
  for _ in $(seq 300); do [ "$(ls /tmp/received/*.eml 2>/dev/null | wc -l)" = 40 ] && break; sleep 0.1; done
  [ "$(ls /tmp/received/*.eml | wc -l)" = 40 ] || fail "the service delivered $(ls /tmp/received/*.eml | wc -l) of 40"
  expect "the service wrote its log as larkpost" \
    sh -c '[ "$(stat -c %U /var/spool/larkpost/larkq.log.1)" = larkpost ]'
  larkctl service stop Larkpost >/dev/null || fail "the service did not stop"
  kill "$sink"
  trap - EXIT
  logged=$(cat /var/spool/larkpost/larkq.log /var/spool/larkpost/larkq.log.1 | grep -c ' Success: ' || true)
  [ "$logged" = 40 ] || fail "the rotated log holds $logged Success lines of 40"
  printf 'To: ann@example.org\n\nkept\n' | runuser -u larkpost-webapp -- env -u LARKPOST_ROOT /usr/sbin/sendmail -t -i
  ini=$(find /var/spool/larkpost -maxdepth 1 -name '*.ini' | head -n 1)
  userdel larkpost-webapp
  # Upgrade in place: an administrator's queue setting survives.
  larkctl reg add "$settings" /v QuePath /d /srv/queue /f >/dev/null
  dpkg -i ./larkpost_*.deb >install.log 2>&1 || { cat install.log; fail "reinstalling failed"; }
  expect "a reinstall keeps QuePath" sh -c "larkctl reg query '$settings' /v QuePath | grep -q /srv/queue"
  dpkg -r wrenset larkpost >remove.log 2>&1 || { cat remove.log; fail "dpkg -r failed"; }
  expect "removal keeps the queue" test -f "$ini"
  expect "removal keeps the settings" grep -q 'QuePath' "$hive"
  expect "removal unregisters the service" sh -c "! grep -q 'Services\\\\Larkpost\\]' '$hive'"
  expect "removal takes the programs" test ! -e /usr/bin/larkctl
  dpkg -P larkpost wrenset >purge.log 2>&1 || { cat purge.log; fail "dpkg -P failed"; }
  for gone in /var/spool/larkpost /var/lib/larkpost /etc/logrotate.d/larkpost \
    /etc/systemd/system/multi-user.target.wants/larkpost.service; do
    [ ! -e "$gone" ] && [ ! -L "$gone" ] || fail "$gone is left after purge"
  done
  ! getent passwd larkpost && ! getent group larkpost || fail "the account larkpost is left after purge"
  exit 0
fi
source_dir=${1:?usage: package_test.sh SOURCE_DIR}
[ "$(id -u)" = 0 ] || skip "installing packages needs root"
for tool in dpkg lintian help2man unshare chroot systemd-analyze logrotate; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/bootstrap installs it)"
done
debs=$("$source_dir/scripts/package") || fail "scripts/package failed"
lintian --tag-display-limit 0 $debs >lintian.log 2>&1 || true
grep -E '^W: ' lintian.log || true
! grep -E '^E: ' lintian.log || fail "lintian reports errors"
unshare --mount --propagation private true 2>/dev/null || skip "no mount namespace can be made here"
export sink=$source_dir/tests/interop/smtp_sink.py
view=$(mktemp -d)
trap 'rm -rf "$view"' EXIT
mkdir "$view/upper" "$view/work" "$view/root"
unshare --mount --propagation private -- bash -euc '
  view=$1; shift
  mount -t overlay overlay -o "lowerdir=/,upperdir=$view/upper,workdir=$view/work" "$view/root" ||
    { echo "package_test: skipped: no overlay of / here"; exit 77; }
  for fs in proc sys dev; do mount --rbind "/$fs" "$view/root/$fs"; done
  for fs in run tmp; do mount -t tmpfs tmpfs "$view/root/$fs"; done
  mkdir "$view/root/tmp/larkpost-debs"
  cp "$@" "$view/root/tmp/larkpost-debs/"
  cp "$0" "$view/root/tmp/larkpost-debs/package_test.sh"
  cp "$sink" "$view/root/tmp/larkpost-debs/smtp_sink.py"
  exec chroot "$view/root" /bin/bash /tmp/larkpost-debs/package_test.sh --inside
' "$0" "$view" $debs
