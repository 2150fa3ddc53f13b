#!/bin/sh
# What help2man reads for a program with subcommands: "PROGRAM --help", then the --help of each
# subcommand that it lists, headed by the subcommand's usage line, so that the manual page shows
# every option there is.
#   IAPFLASH_PROGRAM=path/to/iapflash help-all.sh --help | --version
set -eu
program=${IAPFLASH_PROGRAM:?}
if [ "${1:-}" != --help ]; then
  exec "$program" "$@"
fi
"$program" --help
"$program" --help | sed -n '/^Subcommands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p' |
  while read -r command; do
    echo
    # "Description" and "Usage: iapflash X ..." become the heading "iapflash X ...:" and its text;
    # the option lists keep their own headings.
    "$program" "$command" --help |
      sed -e '1{h;d}' -e '2{s/^Usage: \(.*\)/\1:/;G;s/\n/\n  /;s/$/\n/}' -e '/^Options:$/d'
  done
