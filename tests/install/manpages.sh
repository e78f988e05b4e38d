#!/usr/bin/env bash
# Checks the built manual pages against the programs: every page renders
# without a complaint from man; for a program with --help, every option its
# help lists is an item of the page's OPTIONS section, and the section has
# no other; for a program without options, that section says it takes none.
#
#   tests/install/manpages.sh PAGE_DIR PROGRAM[=PATH] ...
#
# PROGRAM=PATH names a program with --help and the file to run; PROGRAM
# alone one that takes no options (it is not run).
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 PAGE_DIR PROGRAM[=PATH] ..." >&2; exit 2; }
dir=$1
shift
status=0
fail() {
  echo "manpages: $*" >&2
  status=1
}
render() { # PAGE: the page as text, wide enough that no line is broken
  LC_ALL=C MANWIDTH=1000 man -l "$1" 2> /dev/null | col -bx
}
options_section() { # text on stdin: the OPTIONS section's lines
  awk '/^[A-Z]/ { in_options = ($0 == "OPTIONS"); next } in_options'
}

for page in "$dir"/*.gz; do
  complaints=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 > /dev/null || echo "man failed")
  [ -z "$complaints" ] || fail "$(basename "$page"): $complaints"
done

for arg in "$@"; do
  name=${arg%%=*}
  page=$dir/$name.1.gz
  [ -f "$page" ] || { fail "$name: no manual page $page"; continue; }
  options=$(render "$page" | options_section)
  if [ "$arg" = "$name" ]; then
    grep -q "takes no options" <<< "$options" || fail "$name(1): OPTIONS does not say it takes none"
    continue
  fi
  help=$("${arg#*=}" --help) || { fail "$name --help failed"; continue; }
  listed=$(grep -oE '(^|[][ ,])--?[A-Za-z][A-Za-z0-9-]*' <<< "$help" | sed 's/^[][ ,]//' | sort -u)
  [ -n "$listed" ] || fail "$name --help lists no options"
  for opt in $listed; do
    # An item line of the section (indented 7, its text 11): the option,
    # alone or among others.
    grep -qE -- "^ {7}([^ ].*[ ,])?$opt([ ,]|$)" <<< "$options" ||
      fail "$name(1): option $opt (from --help) is not an item of OPTIONS"
  done
  # And the page documents no option the program has not got.
  items=$(grep -E '^ {7}[^ ]' <<< "$options" | grep -oE '(^|[ ,])--?[A-Za-z][A-Za-z0-9-]*' |
    sed 's/^[ ,]//' | sort -u)
  for opt in $items; do
    grep -qx -- "$opt" <<< "$listed" || fail "$name(1): option $opt is not in --help"
  done
  echo "manpages: $name(1) has every option of --help: $(tr '\n' ' ' <<< "$listed")"
done
[ "$status" -eq 0 ] && echo "manpages: all pages render cleanly"
exit "$status"
