#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test through CTest, with
# warnings as errors:
#   build-test     debug
#   build-asan     debug under AddressSanitizer and UBSan
#   build-release  the optimised build tools/build.sh makes, tests included:
#                  installation and the Debian package (installed and removed
#                  again on this machine), and the system test (label vm): the
#                  library and the programs exactly as shipped, on the real
#                  Linux Bluetooth stack in a virtual machine
#   build-clang    debug, compiled by clang
#   build-fuzz     the libFuzzer targets, each run for a bounded time
#                  (tools/fuzz.sh); a crash fails the run
#   build-armhf    the whole suite cross-built for the 32-bit ARM board, run on
#                  Debian's ARM kernel in a virtual machine
# and builds the benchmarks the way tools/bench.sh does (without running them).
# Every build uses the stricter warning set (OSL_STRICT_WARNINGS), and the
# format and clang-tidy checks (tools/lint.sh) run after the debug build.
#
#   tools/test.sh --quick   while working: the debug build, its unit tests
#                           (not the programs run whole: label end_to_end)
#                           and the lint checks
set -euo pipefail
cd "$(dirname "$0")/.."
quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

jobs=$(nproc)
configure_and_build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DOSL_WERROR=ON -DOSL_STRICT_WARNINGS=ON "$@"
  cmake --build "$dir" -j "$jobs"
}
run() {
  configure_and_build "$@"
  ctest --test-dir "$1" --output-on-failure -j "$jobs"
}

if [ "$quick" -eq 1 ]; then
  tools/deps.sh
  configure_and_build build-test -DCMAKE_BUILD_TYPE=Debug -DOSL_BUILD_BENCH=OFF
  ctest --test-dir build-test --output-on-failure -j "$jobs" -LE end_to_end
  tools/lint.sh build-test
  exit 0
fi

tools/deps.sh --vm --arm --pkg
run build-test -DCMAKE_BUILD_TYPE=Debug
tools/lint.sh build-test
run build-asan -DCMAKE_BUILD_TYPE=Debug -DOSL_SANITIZE=ON -DOSL_BUILD_BENCH=OFF
run build-release -DCMAKE_BUILD_TYPE=Release -DOSL_BUILD_BENCH=OFF -DOSL_PACKAGE_TESTS=ON \
  -DOSL_VM_TESTS=ON
CC=clang CXX=clang++ run build-clang -DCMAKE_BUILD_TYPE=Debug -DOSL_BUILD_BENCH=OFF
configure_and_build build-bench -DCMAKE_BUILD_TYPE=Release -DOSL_BUILD_TESTS=OFF -DOSL_BUILD_BENCH=ON
tools/fuzz.sh

# The ARM target: cross-build everything, then run the cross build's one
# test, arm_suite (label arm), which runs every case on the ARM kernel.
tools/cross-build.sh -DOSL_WERROR=ON -DOSL_PACKAGE_TESTS=ON
ctest --test-dir build-armhf --output-on-failure
# The development packages of both architectures, installed side by side
# (both made by the package tests above) and removed again.
tests/install/side-by-side.sh build-release/tests/packages build-armhf/tests/packages
tools/count-guard.sh # the ARM unseal's instruction count within 10 % of bench/arm_budget.txt
