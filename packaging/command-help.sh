#!/bin/sh
# Writes a help2man include file: the --help of each command of PROGRAM, as the program prints
# it, so the page never repeats what the program says, and the pages of the other programs.
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
  printf '[SEE ALSO]\n.BR larkpost (8),\n.BR larkctl (8),\n.BR larkq (1),\n.BR wrenset (1)\n'
} >"$output.new"
mv "$output.new" "$output"
