#!/bin/sh
# Writes a help2man include file with one section of the manual page: the --help of each
# command of PROGRAM, as the program prints it, so the page never repeats what the program says.
# Usage: command-help.sh PROGRAM OUTPUT COMMAND...
set -eu
program=$1
output=$2
shift 2
{
  [ $# -eq 0 ] || echo '[COMMANDS]'
  for command in "$@"; do
    printf '.SS %s\n.nf\n' "$command"
    "$program" "$command" --help | sed -e 's/\\/\\e/g' -e "s/^[.']/\\\\\\&&/"
    echo '.fi'
  done
} >"$output.new"
mv "$output.new" "$output"
