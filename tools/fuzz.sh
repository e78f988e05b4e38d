#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer, UBSan) into
# build-fuzz/ and runs each for a bounded time, starting from the seed inputs
# made from the literal report table. Exits non-zero when a target crashes,
# and names the input that crashed it (replay it with the target alone:
# build-fuzz/fuzz/osl_fuzz_decoder <file>).
#   tools/fuzz.sh            20 s per target
#   OSL_FUZZ_SECONDS=300 tools/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh

build=build-fuzz
seconds=${OSL_FUZZ_SECONDS:-20}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSL_WERROR=ON -DOSL_FUZZ=ON -DOSL_BUILD_TESTS=OFF -DOSL_BUILD_BENCH=OFF
cmake --build "$build"

# Decoder inputs: 3 control bytes and up to four events of a length byte and
# at most one 50-byte slot each. ostrel_mqtt's: messages beyond the bridge's
# limit on a payload (a few KB), deep enough to hurt a recursive reader; a
# configuration and a registry of a few dozen devices. The inputs of
# fuzz/regressions/ may be longer: libFuzzer cuts them to this length when it
# loads its corpus, while fuzz_replay_tests replays them whole.
declare -A max_len=([decoder]=207 [text]=256 [time]=16 [mqtt_message]=8192 [mqtt_config]=4096
                    [mqtt_registry]=4096)
# Words a mutation would rarely spell: the requests' and commands' keys, and
# the runs of brackets and escapes that make a payload deep or strange.
declare -A dict=([mqtt_message]=fuzz/mqtt_message.dict)
failed=0
for target in decoder text time mqtt_message mqtt_config mqtt_registry; do
  corpus=$build/fuzz/corpus/$target
  artifacts=$build/fuzz/artifacts/$target
  rm -rf "$artifacts" # only this run's crashes are named below
  mkdir -p "$corpus" "$artifacts"
  cp -n "$build"/fuzz/seeds/$target/* "$corpus"/
  words=()
  [ -n "${dict[$target]:-}" ] && words=(-dict="${dict[$target]}")
  echo "== osl_fuzz_$target: ${seconds}s"
  if ! "$build"/fuzz/osl_fuzz_$target -max_total_time="$seconds" -max_len="${max_len[$target]}" \
      "${words[@]}" -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" \
      >"$build/fuzz/$target.log" 2>&1; then
    failed=1
    echo "osl_fuzz_$target FAILED; the end of its log ($build/fuzz/$target.log):"
    tail -n 40 "$build/fuzz/$target.log"
    for input in "$artifacts"/*; do
      [ -e "$input" ] && echo "crashing input: $input"
    done
  else
    grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)' \
      "$build/fuzz/$target.log" || true
    grep -E 'cov: ' "$build/fuzz/$target.log" | tail -n 1
  fi
done
exit "$failed"
