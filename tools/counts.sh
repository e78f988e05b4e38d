#!/usr/bin/env bash
# Counts the instructions of the library's hot paths with callgrind, using the
# benchmark program op_count of a build (bench/op_count.cpp): each operation
# runs N times inside the one function callgrind collects, and the count per
# operation is the collected total divided by N. Counts, unlike times, do not
# depend on the machine or its load, and under emulation they are the board's.
#
#   tools/counts.sh host BUILD_DIR OPERATION...   this machine's valgrind
#   tools/counts.sh arm BUILD_DIR OPERATION...    a cross build, in the ARM
#                                                 virtual machine (tests/arm/)
#
# Prints one line per operation: its name and its instructions per run.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -lt 3 ] || { [ "$1" != host ] && [ "$1" != arm ]; }; then
  echo "usage: $0 host|arm BUILD_DIR OPERATION..." >&2
  exit 2
fi
where=$1
build=$(realpath "$2")
shift 2
program=$build/bench/op_count
[ -x "$program" ] || { echo "counts: $program is not built" >&2; exit 2; }

# Runs per operation: enough that the loop's own instructions and rounding
# vanish, few enough for a quick run under emulation.
runs() {
  case "$1" in
    tick_*) echo 100 ;;
    *) echo 1000 ;;
  esac
}

if [ "$where" = host ]; then
  command -v valgrind > /dev/null || { echo "counts: valgrind missing (apt-get install valgrind)" >&2; exit 2; }
  profile=$(mktemp)
  trap 'rm -f "$profile"' EXIT
  for op in "$@"; do
    n=$(runs "$op")
    valgrind --tool=callgrind --toggle-collect=measured_loop --callgrind-out-file="$profile" \
      "$program" "$op" "$n" > /dev/null 2> "$profile.log" ||
      { cat "$profile.log" >&2; rm -f "$profile.log"; exit 1; }
    rm -f "$profile.log"
    total=$(sed -n 's/^totals: \([0-9]*\).*/\1/p' "$profile")
    echo "$op $(( (total + n / 2) / n ))"
  done
  exit 0
fi

# The ARM virtual machine runs a list of callgrind lines (tests/arm/suite.sh)
# and prints "arm: instructions: op_count OPERATION N: TOTAL" for each.
list=$build/tests/arm/counts.list
log=$build/tests/arm/counts.log
mkdir -p "$build/tests/arm"
for op in "$@"; do
  echo "callgrind $program $op $(runs "$op")"
done > "$list"
if ! tests/arm/run.sh "$list" "$build" "$build/tests/arm/work" > "$log" 2>&1; then
  cat "$log" >&2
  echo "counts: the ARM machine failed (log: $log)" >&2
  exit 1
fi
for op in "$@"; do
  line=$(grep -E "^arm: instructions: op_count $op [0-9]+: [0-9]+$" "$log" | tail -n 1) ||
    { echo "counts: no count for $op in $log" >&2; exit 1; }
  n=${line#*"op_count $op "}
  n=${n%%:*}
  total=${line##* }
  echo "$op $(( (total + n / 2) / n ))"
done
