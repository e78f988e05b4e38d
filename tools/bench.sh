#!/usr/bin/env bash
# Builds the benchmarks optimised (Release, into build-bench/) and runs them.
# Extra arguments go to every benchmark, e.g. --benchmark_repetitions=5.
#
#   tools/bench.sh --counts   instead: instructions per operation on this
#                             machine, counted by callgrind (tools/counts.sh)
#   tools/bench.sh --arm      the same on 32-bit ARM: the cross build
#                             (build-armhf/, as tools/cross-build.sh makes it)
#                             counted in the ARM virtual machine
set -euo pipefail
cd "$(dirname "$0")/.."

# The counted operations, each beside OpenSSL's unseal in the same run.
print_counts() {
  local label=$1 op count
  shift
  declare -A c
  while read -r op count; do
    c[$op]=$count
  done < <(tools/counts.sh "$@" unseal unseal_fresh_key openssl_unseal openssl_unseal_fresh_key \
             decode_accepted tick_full_window)
  echo "== instructions per operation, $label (callgrind)"
  printf '  %-52s %8s %9s\n' "" library OpenSSL
  printf '  %-52s %8s %9s\n' "unseal, key expanded once" "${c[unseal]}" "${c[openssl_unseal]}"
  printf '  %-52s %8s %9s\n' "unseal, fresh keys" "${c[unseal_fresh_key]}" \
    "${c[openssl_unseal_fresh_key]}"
  printf '  %-52s %8s %9s\n' "accepted sealed frame through the decoder" "${c[decode_accepted]}" \
    "${c[openssl_unseal]}"
  printf '  %-52s %8s %9s\n' "tick: 10 new frames into a window of 90" "${c[tick_full_window]}" \
    "${c[openssl_unseal]}"
  echo "  (OpenSSL: its unseal's two block operations, keys set once, or fresh where the"
  echo "  library's are; beside the decoder and the tick for scale)"
}

case "${1:-}" in
  --counts)
    tools/deps.sh
    cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSL_BUILD_TESTS=OFF \
      -DOSL_BUILD_BENCH=ON
    cmake --build build-bench -j "$(nproc)" --target op_count
    print_counts "$(uname -m)" host build-bench
    exit 0
    ;;
  --arm)
    tools/deps.sh --arm
    # A cross build configured before keeps its cache; a new one is
    # configured as tools/cross-build.sh does it.
    [ -e build-armhf/CMakeCache.txt ] ||
      cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf.toolchain.cmake" \
        -DCMAKE_BUILD_TYPE=Release
    cmake --build build-armhf -j "$(nproc)" --target op_count
    print_counts "armhf (ARMv7, in the ARM virtual machine)" arm build-armhf
    exit 0
    ;;
esac

tools/deps.sh
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSL_BUILD_TESTS=OFF -DOSL_BUILD_BENCH=ON
cmake --build build-bench -j "$(nproc)"
for b in build-bench/bench/*_bench; do
  echo "== ${b##*/}"
  "$b" "$@"
done
