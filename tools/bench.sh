#!/usr/bin/env bash
# Builds the benchmarks optimised (Release, into build-bench/) and runs them.
# Extra arguments go to every benchmark, e.g. --benchmark_repetitions=5.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSL_BUILD_TESTS=OFF -DOSL_BUILD_BENCH=ON
cmake --build build-bench -j "$(nproc)"
for b in build-bench/bench/*_bench; do
  echo "== ${b##*/}"
  "$b" "$@"
done
