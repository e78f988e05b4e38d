#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
#   tools/deps.sh        what the build, the tests and the benchmarks need
#   tools/deps.sh --vm   also what the virtual-machine test (OSL_VM_TESTS) needs
#   tools/deps.sh --arm  also what the 32-bit ARM cross build and its test
#                        machine need
#   tools/deps.sh --pkg  also what the Debian package checks (OSL_PACKAGE_TESTS)
#                        need (options may be combined)
set -euo pipefail

# libclang-rt-14-dev: clang's runtimes, libFuzzer among them (tools/fuzz.sh).
# scdoc turns the manual pages' sources into roff.
packages=(cmake ninja-build g++ gcc clang libclang-rt-14-dev pkg-config libbluetooth-dev
          libgtest-dev libgmock-dev libbenchmark-dev libssl-dev openssl python3 clang-format
          clang-tidy scdoc
          libmosquitto-dev nlohmann-json3-dev libtomlplusplus-dev libsystemd-dev
          mosquitto mosquitto-clients)
# (ostrel_mqtt: MQTT, JSON, its TOML configuration and systemd's notification;
# the mosquitto broker and its clients for the bridge's tests and the
# demonstration, started by them on loopback, never as the system's service)
# qemu boots Debian's kernel with a busybox initramfs; btvirt (bluez-test-tools)
# plays the controllers; kmod and cpio build the initramfs; make and gcc build
# the test GPIO module against the kernel's headers; bluez (hciconfig,
# hcitool, bluetoothctl, bluetoothd) and dbus-daemon cause the adapter faults
# the system test plays. No recommends: the machine runs headless, without a
# network card.
vm_packages=(qemu-system-x86 bluez-test-tools busybox-static kmod cpio make gcc bluez dbus-daemon)

# The ARM target: Debian's cross compiler, and the target's own libraries from
# Debian's armhf multiarch packages, installed beside the host's (no sysroot).
# qemu-system-arm boots the armhf kernel; kmod and cpio build its initramfs.
# The armhf busybox and the kernel are downloaded into the build tree by
# tests/arm/run.sh, not installed.
arm_packages=(crossbuild-essential-armhf libbluetooth-dev:armhf libgtest-dev:armhf
              libgmock-dev:armhf libssl-dev:armhf libbenchmark-dev:armhf qemu-system-arm
              kmod cpio libmosquitto-dev:armhf libtomlplusplus-dev:armhf libsystemd-dev:armhf)

# The package checks: lintian judges every package; dpkg-dev's
# dpkg-shlibdeps gives ostrel-kit its Depends, dpkg-parsechangelog the
# release's version and date; man reads the pages.
pkg_packages=(lintian dpkg-dev man-db)

vm=0
arm=0
pkg=0
for arg in "$@"; do
  case "$arg" in
    --vm) vm=1 ;;
    --arm) arm=1 ;;
    --pkg) pkg=1 ;;
    *) echo "usage: $0 [--vm] [--arm] [--pkg]" >&2; exit 2 ;;
  esac
done

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}
mapfile -t missing < <(missing_of "${packages[@]}")
vm_missing=()
[ "$vm" -eq 1 ] && mapfile -t vm_missing < <(missing_of "${vm_packages[@]}")
[ "$pkg" -eq 1 ] && mapfile -t -O "${#missing[@]}" missing < <(missing_of "${pkg_packages[@]}")
# An armhf package can only be known once dpkg takes the architecture.
arm_missing=()
arm_arch=1
if [ "$arm" -eq 1 ]; then
  dpkg --print-foreign-architectures | grep -qx armhf || arm_arch=0
  mapfile -t arm_missing < <(missing_of "${arm_packages[@]}")
fi
[ ${#missing[@]} -eq 0 ] && [ ${#vm_missing[@]} -eq 0 ] && [ ${#arm_missing[@]} -eq 0 ] &&
  [ "$arm_arch" -eq 1 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ "$arm_arch" -eq 0 ]; then
  echo "adding the armhf architecture to dpkg"
  $sudo dpkg --add-architecture armhf
fi
echo "installing: ${missing[*]} ${vm_missing[*]} ${arm_missing[*]}"
$sudo apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
if [ ${#vm_missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${vm_missing[@]}"
fi
if [ ${#arm_missing[@]} -gt 0 ]; then
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${arm_missing[@]}"
fi
