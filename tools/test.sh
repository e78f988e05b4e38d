#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test through CTest:
# once in a plain debug build, which also boots the library on the real Linux
# Bluetooth stack in a virtual machine, and once under AddressSanitizer and
# UBSan. Then the same suite cross-built for the 32-bit ARM board, run on
# Debian's ARM kernel in a virtual machine.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh --vm --arm

jobs=$(nproc)
run() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}
run build-test -DCMAKE_BUILD_TYPE=Debug -DOSL_VM_TESTS=ON
run build-asan -DCMAKE_BUILD_TYPE=Debug -DOSL_SANITIZE=ON -DOSL_BUILD_BENCH=OFF

# The ARM target: cross-build everything, then run the cross build's one
# test, arm_suite (label arm), which runs every case on the ARM kernel.
tools/cross-build.sh
ctest --test-dir build-armhf --output-on-failure
