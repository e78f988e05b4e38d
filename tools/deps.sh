#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
#   tools/deps.sh        what the build, the tests and the benchmarks need
#   tools/deps.sh --vm   also what the virtual-machine test (OSL_VM_TESTS) needs
set -euo pipefail

packages=(cmake ninja-build g++ gcc clang pkg-config libbluetooth-dev libgtest-dev libgmock-dev
          libbenchmark-dev libssl-dev openssl python3)
# qemu boots Debian's kernel with a busybox initramfs; btvirt (bluez-test-tools)
# plays the controllers; kmod and cpio build the initramfs; make and gcc build
# the test GPIO module against the kernel's headers. No recommends: the
# machine runs headless, without a network card.
vm_packages=(qemu-system-x86 bluez-test-tools busybox-static kmod cpio make gcc)

vm=0
case "${1:-}" in
  "") ;;
  --vm) vm=1 ;;
  *) echo "usage: $0 [--vm]" >&2; exit 2 ;;
esac

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
vm_missing=()
[ "$vm" -eq 1 ] && mapfile -t vm_missing < <(missing_of "${vm_packages[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#vm_missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]} ${vm_missing[*]}"
$sudo apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
if [ ${#vm_missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${vm_missing[@]}"
fi
