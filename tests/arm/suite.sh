#!/bin/sh
# Runs the test suite inside the ARM machine, each case in a process of its
# own, as CTest runs it on the host: a GoogleTest program is asked for its
# cases (--gtest_list_tests), then run once per case with a filter naming
# exactly that case, from the program's directory, with no input, under a
# time limit. A failed case prints its name and its whole output. The last
# line is the verdict, "N passed, M failed" (", K skipped" when cases skipped
# themselves).
#
# A "callgrind PROGRAM ARGS..." line runs the program once under callgrind,
# collecting only inside its function measured_loop, and prints
# "arm: instructions: PROGRAM ARGS: COUNT"; it passes when the program exits
# 0 and callgrind reports a count. The profile is kept beside the program as
# callgrind.out.ARG1, for callgrind_annotate on the host.
#
#   osl-arm-suite SUITE_LIST CASE_TIMEOUT_S
list=$1
limit=$2
out=/tmp/osl-arm-case.out
cases=/tmp/osl-arm-cases
passed=0
failed=0
skipped=0

# fail LABEL STATUS : books a failure and shows the case's output.
fail() {
  failed=$((failed + 1))
  if [ "$2" -eq 143 ] || [ "$2" -eq 137 ]; then
    echo "arm: FAILED: $1 (killed after $limit s)"
  else
    echo "arm: FAILED: $1 (exit status $2)"
  fi
  echo "----- output of $1"
  cat "$out"
  echo "----- end of $1"
}

# run PROGRAM ARGS... : runs one case as described above; its status is $?.
run() {
  (cd "$(dirname "$1")" && exec timeout "$limit" "$@") < /dev/null > "$out" 2>&1
}

# count PROGRAM ARGS... : the callgrind line described above.
count() {
  local vg profile total
  vg=$(cat /etc/valgrind-root)
  profile=/tmp/osl-arm-callgrind.out
  rm -f "$profile"
  (cd "$(dirname "$1")" &&
   VALGRIND_LIB=$vg/usr/libexec/valgrind exec timeout "$limit" "$vg/usr/bin/valgrind" \
     --tool=callgrind --toggle-collect=measured_loop --callgrind-out-file="$profile" \
     --extra-debuginfo-path="$vg/usr/lib/debug" "$@") < /dev/null > "$out" 2>&1
  status=$?
  total=$(sed -n 's/^totals: \([0-9]*\).*/\1/p' "$profile" 2> /dev/null)
  if [ "$status" -ne 0 ] || [ -z "$total" ]; then
    [ "$status" -ne 0 ] || status=1
    fail "${1##*/} $2 (callgrind)" "$status"
    return
  fi
  passed=$((passed + 1))
  cp "$profile" "$(dirname "$1")/callgrind.out.$2"
  shift
  echo "arm: instructions: ${program##*/} $*: $total"
}

while read -r kind program args; do
  [ -n "$kind" ] || continue
  name=${program##*/}
  before=$((passed + failed + skipped))
  if [ "$kind" = callgrind ]; then
    # The arguments are words without spaces: split them.
    # shellcheck disable=SC2086
    count "$program" $args
    continue
  fi
  if [ "$kind" = program ]; then
    run "$program"
    status=$?
    if [ "$status" -eq 0 ]; then passed=$((passed + 1)); else fail "$name" "$status"; fi
    continue
  fi

  run "$program" --gtest_list_tests
  status=$?
  if [ "$status" -ne 0 ]; then
    fail "$name --gtest_list_tests" "$status"
    continue
  fi
  # Suite lines start in column one and end in "." (a comment on the type
  # parameter may follow); case lines are indented (a comment on the value
  # parameter may follow). Disabled cases are left out, as on the host.
  awk '/^[^ ]/ { suite = ($1 ~ /\.$/) ? $1 : "" }
       /^  [^ ]/ && suite != "" && suite !~ /^DISABLED_/ && $1 !~ /^DISABLED_/ { print suite $1 }' \
    "$out" > "$cases"
  if [ ! -s "$cases" ]; then
    fail "$name lists no case" 0
    continue
  fi
  while read -r case; do
    run "$program" "--gtest_filter=$case"
    status=$?
    if [ "$status" -ne 0 ]; then
      fail "$name $case" "$status"
    elif grep -q '^\[  SKIPPED \] 1 test' "$out"; then
      skipped=$((skipped + 1))
      echo "arm: skipped: $name $case"
    elif grep -q '^\[  PASSED  \] 1 test\.$' "$out"; then
      passed=$((passed + 1))
    else
      # Status 0 without the case having run: the filter matched nothing.
      fail "$name $case (did not run)" "$status"
    fi
  done < "$cases"
  echo "arm: $name: $((passed + failed + skipped - before)) cases"
done < "$list"

if [ "$skipped" -gt 0 ]; then
  echo "$passed passed, $failed failed, $skipped skipped"
else
  echo "$passed passed, $failed failed"
fi
