#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test through CTest:
# once in a plain debug build, which also boots the library on the real Linux
# Bluetooth stack in a virtual machine, and once under AddressSanitizer and
# UBSan.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh --vm

jobs=$(nproc)
run() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}
run build-test -DCMAKE_BUILD_TYPE=Debug -DOSL_VM_TESTS=ON
run build-asan -DCMAKE_BUILD_TYPE=Debug -DOSL_SANITIZE=ON -DOSL_BUILD_BENCH=OFF
