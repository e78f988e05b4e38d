#!/usr/bin/env bash
# Runs the cross-built test suite on Debian 12's own 32-bit ARM kernel: qemu
# (software emulation of a Cortex-A15 "virt" board, no network) boots the
# armmp kernel with a busybox initramfs, and the guest runs every case of every
# test program in a process of its own, as CTest does on the host, then prints
# the verdict line that this script reads from the serial console.
#
#   tests/arm/run.sh SUITE_LIST BUILD_DIR WORK_DIR
#
# SUITE_LIST names the test programs, one a line: "gtest PATH" for a
# GoogleTest program, "program PATH" for one that passes by exiting 0 (CMake
# writes it, tests/arm/suite.cmake), "callgrind PATH ARGS..." for a program
# whose instructions callgrind counts (tools/bench.sh --arm writes it; see
# suite.sh). For the last kind Debian's valgrind:armhf is unpacked into
# WORK_DIR, never installed, and shared with the guest. BUILD_DIR, the cross
# build's tree, is shared with the guest at the same absolute path, so the
# paths compiled into the tests (the scanner's, for one) hold there too; so is
# the armhf library directory, from which the programs load their shared
# libraries. WORK_DIR keeps the downloaded kernel, busybox and valgrind
# between runs. Needs qemu-system-arm,
# kmod and cpio (tools/deps.sh --arm installs them), and Debian's package lists
# with the armhf architecture (apt-get update).
set -euo pipefail

# The kernel, by its versioned package name (see vm_kernel_abi): any
# linux-image-6.1.0-N-armmp that `apt-cache search linux-image-6.1` lists will do.
KERNEL_ABI=${OSL_ARM_KERNEL_ABI:-6.1.0-57-armmp}
KERNEL_PATTERN='^linux-image-6\.1\.0-[0-9]+-armmp$'
# Wall time the whole machine may take; a healthy run needs well under a
# minute, a few minutes on a loaded machine.
VM_TIMEOUT_S=900
# Wall time one test case may take in the guest, as CTest's TIMEOUT on the host.
CASE_TIMEOUT_S=120
# The 9p file shares on the virt board's virtio-mmio transport.
MODULES=(virtio_mmio 9pnet_virtio 9p)
ARM_LIBDIR=/usr/lib/arm-linux-gnueabihf

if [ $# -ne 3 ]; then
  echo "usage: $0 SUITE_LIST BUILD_DIR WORK_DIR" >&2
  exit 2
fi
suite_list=$(realpath "$1")
build=$(realpath "$2")
work=$3
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=../vm/common.sh
. "$here/../vm/common.sh"
mkdir -p "$work"
work=$(realpath "$work")

vm_require "tools/deps.sh --arm" qemu-system-arm modprobe depmod cpio gzip dpkg-deb apt-get
[ -e "$ARM_LIBDIR/ld-linux-armhf.so.3" ] ||
  { echo "arm: no armhf C library in $ARM_LIBDIR (tools/deps.sh --arm installs it)" >&2; exit 2; }

# Every program must be built: a missing one would only show as a failure
# deep in the guest's output.
programs=0
counted=0
while read -r kind path _; do
  case "$kind" in
    "") continue ;;
    gtest | program) ;;
    callgrind) counted=1 ;;
    *) echo "arm: bad line in $suite_list: $kind $path" >&2; exit 2 ;;
  esac
  case "$path" in
    "$build"/*) ;;
    *) echo "arm: $path lies outside the build tree $build, which is all the guest sees" >&2; exit 2 ;;
  esac
  [ -x "$path" ] || { echo "arm: $path is not built (cmake --build $build)" >&2; exit 2; }
  programs=$((programs + 1))
done < "$suite_list"
[ "$programs" -gt 0 ] || { echo "arm: $suite_list names no test program" >&2; exit 2; }

# --- kernel and busybox, cached ----------------------------------------------
KERNEL_ABI=$(vm_kernel_abi "$KERNEL_ABI" "$KERNEL_PATTERN" :armhf "$work")
kernel_dir=$work/linux-$KERNEL_ABI
if [ ! -e "$kernel_dir/.complete" ]; then
  rm -rf "$kernel_dir"
  vm_unpack "$kernel_dir" "linux-image-$KERNEL_ABI:armhf"
  depmod -b "$kernel_dir" "$KERNEL_ABI"
  touch "$kernel_dir/.complete"
fi
vmlinuz=$kernel_dir/boot/vmlinuz-$KERNEL_ABI
# A static ARM busybox, unpacked, not installed: the host's busybox-static
# (the x86 machine's) would have to make way for it.
busybox_dir=$work/busybox-armhf
if [ ! -e "$busybox_dir/.complete" ]; then
  rm -rf "$busybox_dir"
  vm_unpack "$busybox_dir" busybox-static:armhf
  touch "$busybox_dir/.complete"
fi

# valgrind for the guest, with the C library's debugging information, which
# it reads to name the functions it counts.
valgrind_dir=$work/valgrind-armhf
if [ "$counted" -eq 1 ] && [ ! -e "$valgrind_dir/.complete" ]; then
  rm -rf "$valgrind_dir"
  vm_unpack "$valgrind_dir" valgrind:armhf libc6-dbg:armhf
  touch "$valgrind_dir/.complete"
fi

# --- initramfs ---------------------------------------------------------------
root=$work/root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,etc,proc,sys,tmp,modules,usr/lib}
# As on the host: /lib is /usr/lib, where the programs' interpreter
# /lib/ld-linux-armhf.so.3 points into the shared armhf library directory.
ln -s usr/lib "$root/lib"
ln -s arm-linux-gnueabihf/ld-linux-armhf.so.3 "$root/usr/lib/ld-linux-armhf.so.3"

cp "$busybox_dir/bin/busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"

: > "$root/modules/load-order"
while read -r ko; do
  cp "$ko" "$root/modules/"
  basename "$ko" >> "$root/modules/load-order"
done < <(vm_module_order "$kernel_dir" "$KERNEL_ABI" "${MODULES[@]}")

# The shares: mount tag, then the path the guest mounts it at.
printf 'build %s\narmlibs %s\n' "$build" "$ARM_LIBDIR" > "$root/etc/shares"
valgrind_share=()
if [ "$counted" -eq 1 ]; then
  echo "valgrind $valgrind_dir" >> "$root/etc/shares"
  echo "$valgrind_dir" > "$root/etc/valgrind-root"
  valgrind_share=(-fsdev "local,id=valgrind,path=$valgrind_dir,security_model=none,readonly=on"
                  -device virtio-9p-device,fsdev=valgrind,mount_tag=valgrind)
fi
cp "$suite_list" "$root/etc/suite.list"
echo "$CASE_TIMEOUT_S" > "$root/etc/case-timeout"
cp "$here/init.sh" "$root/init"
cp "$here/suite.sh" "$root/bin/osl-arm-suite"
chmod +x "$root/init" "$root/bin/osl-arm-suite"

initramfs=$work/initramfs.cpio.gz
vm_make_initramfs "$root" "$initramfs"

# --- boot ----------------------------------------------------------------------
# highmem=off: the armmp kernel (no LPAE) cannot reach devices above 4 GiB.
# The build tree is writable, as it is to the tests on the host; the system's
# libraries are not.
console=$work/console.log
echo "arm: kernel $KERNEL_ABI"
vm_boot arm "$console" "$VM_TIMEOUT_S" \
  qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -m 1024 -nographic -no-reboot -net none \
    -kernel "$vmlinuz" -initrd "$initramfs" \
    -append "console=ttyAMA0 panic=-1 quiet" \
    -fsdev "local,id=build,path=$build,security_model=none" \
    -device virtio-9p-device,fsdev=build,mount_tag=build \
    -fsdev "local,id=armlibs,path=$ARM_LIBDIR,security_model=none,readonly=on" \
    -device virtio-9p-device,fsdev=armlibs,mount_tag=armlibs \
    "${valgrind_share[@]}"

vm_verdict "$console" || exit 1
echo "arm: passed: $VM_VERDICT"
