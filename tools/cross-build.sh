#!/usr/bin/env bash
# Cross-builds everything for the kit's 32-bit ARM board (arm-linux-gnueabihf)
# into build-armhf/: the library, the programs, the test programs and the
# benchmarks, optimised as the x86 release is (Release, -O3) with debugging
# information, which the armhf package leaves to a separate -dbgsym package.
# Installs the cross compiler and the armhf libraries first when they are
# missing. Extra arguments go to CMake's configure step, e.g.
# -DCMAKE_BUILD_TYPE=Debug or -DOSL_SENSOR_KEY=...
#
# The tests then run on an ARM kernel:
#   ctest --test-dir build-armhf -L arm --output-on-failure
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh --arm
cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf.toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build build-armhf -j "$(nproc)"
echo "built for armhf:"
find build-armhf/apps -mindepth 2 -maxdepth 2 -type f -perm -u+x | sort | sed 's/^/  /'
