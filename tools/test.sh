#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test through CTest:
# once in a plain debug build, once under AddressSanitizer and UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh

jobs=$(nproc)
run() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}
run build-test -DCMAKE_BUILD_TYPE=Debug
run build-asan -DCMAKE_BUILD_TYPE=Debug -DOSL_SANITIZE=ON -DOSL_BUILD_BENCH=OFF
