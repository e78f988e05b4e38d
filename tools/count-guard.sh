#!/usr/bin/env bash
# Guards the instruction counts of bench/arm_budget.txt: counts each operation
# listed there in the cross build (tools/counts.sh arm) and fails when one
# lies more than 10 % above or below its budget. Counts are deterministic, so
# nothing is timed; a run takes well under a minute once the ARM machine's
# kernel, busybox and valgrind are cached.
#
#   tools/count-guard.sh [--update] [BUILD_DIR]   BUILD_DIR: build-armhf
#
# --update writes the counts measured into the budget file instead, for a
# change that moves them on purpose.
set -euo pipefail
cd "$(dirname "$0")/.."
budget_file=bench/arm_budget.txt
TOLERANCE_PERCENT=10

update=0
if [ "${1:-}" = --update ]; then
  update=1
  shift
fi
build=${1:-build-armhf}
[ -x "$build/bench/op_count" ] ||
  { echo "count-guard: $build/bench/op_count is not built (tools/cross-build.sh)" >&2; exit 2; }

declare -A budget
ops=()
while read -r op count _; do
  case "$op" in "" | "#"*) continue ;; esac
  [[ "$count" =~ ^[0-9]+$ ]] || { echo "count-guard: bad line in $budget_file: $op $count" >&2; exit 2; }
  budget[$op]=$count
  ops+=("$op")
done < "$budget_file"
[ "${#ops[@]}" -gt 0 ] || { echo "count-guard: $budget_file lists no operation" >&2; exit 2; }

measured=$(tools/counts.sh arm "$build" "${ops[@]}")

status=0
while read -r op count; do
  want=${budget[$op]}
  if [ "$update" -eq 1 ]; then
    sed -i "s/^$op [0-9]*\$/$op $count/" "$budget_file"
    echo "count-guard: $op budget $want -> $count"
    continue
  fi
  # Percentages to one decimal, in integers: tenths of a percent.
  delta=$(( (count - want) * 1000 / want ))
  sign=+
  [ "$delta" -ge 0 ] || sign=-
  tenths=${delta#-}
  line="$op: $count instructions, budget $want ($sign$((tenths / 10)).$((tenths % 10)) %)"
  if [ "$tenths" -gt $((TOLERANCE_PERCENT * 10)) ]; then
    echo "count-guard: FAILED: $line, more than $TOLERANCE_PERCENT % off" >&2
    status=1
  else
    echo "count-guard: $line"
  fi
done <<< "$measured"
if [ "$status" -ne 0 ]; then
  echo "count-guard: if the change is meant, run tools/count-guard.sh --update and commit $budget_file" >&2
fi
exit "$status"
