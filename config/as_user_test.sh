#!/usr/bin/env bash
# Runs the window's test as an unprivileged user against a machine root that root owns, as an
# administrator's settings are: the window must say why it cannot save, in the system's words.
set -euo pipefail
test=$1
larkctl=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -m 755 "$work/root"
mkdir -m 777 "$work/queue"
LARKPOST_ROOT=$work/root "$larkctl" reg add 'HKLM\SOFTWARE\Quobex\LRKP' /v QuePath \
  /d "$work/queue" /f >/dev/null
chmod -R a+rX "$work/root"
cd "$work"
runuser -u nobody -- env LARKPOST_ROOT="$work/root" LARKPOST_TEST_QUEUE="$work/queue" \
  QT_QPA_PLATFORM=offscreen HOME="$work/queue" XDG_RUNTIME_DIR="$work/queue" "$test"
