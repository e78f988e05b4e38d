#!/usr/bin/env bash
# Runs the guest test program in a qemu virtual machine on Debian 12's own
# kernel, with the Bluetooth modules and btvirt, and passes or fails on the
# verdict line it prints.
#
#   tests/vm/run.sh GUEST_PROGRAM WORK_DIR [PROGRAM...]
#
# GUEST_PROGRAM is what the machine's init runs: osl_vm_guest, or
# osl_vm_faults, which measures the adapter faults.
# Each PROGRAM (the shipped programs and osl_virtkit, or the BlueZ tools that
# cause the faults) is put in the machine's
# /bin under its own name, with the shared libraries it loads, for the guest
# to run as processes.
# OSL_VM_APPEND in the environment is added to the kernel command line; its
# name=value words reach the guest program as environment variables.
# WORK_DIR keeps the downloaded kernel package between runs. Needs
# qemu-system-x86, bluez-test-tools, busybox-static, kmod and cpio
# (tools/deps.sh --vm installs them), and Debian's package lists (apt-get update).
set -euo pipefail

# The kernel, by its versioned package name: the meta package moves to a new
# ABI with every security update. Any linux-image-6.1.0-N-amd64 that
# `apt-cache search linux-image-6.1` lists will do; when this one has left the
# archive the newest listed is used.
KERNEL_ABI=${OSL_VM_KERNEL_ABI:-6.1.0-50-amd64}
KERNEL_PATTERN='^linux-image-6\.1\.0-[0-9]+-amd64$'
# Wall time the whole virtual machine may take; a healthy run needs a few
# minutes even on a loaded machine, most of it the programs' scenarios.
VM_TIMEOUT_S=720
MODULES=(bluetooth hci_vhci af_alg algif_hash algif_skcipher cmac ecb)

if [ $# -lt 2 ]; then
  echo "usage: $0 GUEST_PROGRAM WORK_DIR [PROGRAM...]" >&2
  exit 2
fi
guest=$(realpath "$1")
work=$2
shift 2
programs=("$@")
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
. "$here/common.sh"
mkdir -p "$work"
work=$(realpath "$work")

vm_require "tools/deps.sh --vm" qemu-system-x86_64 btvirt busybox modprobe depmod cpio gzip \
  dpkg-deb apt-get

# --- kernel, its modules and headers, cached ----------------------------------
# Everything is unpacked into one tree, never installed: the image for the
# kernel and its modules, the headers and kbuild for the test GPIO module.
KERNEL_ABI=$(vm_kernel_abi "$KERNEL_ABI" "$KERNEL_PATTERN" "" "$work")
kernel_dir=$work/linux-$KERNEL_ABI
if [ ! -e "$kernel_dir/.complete" ]; then
  rm -rf "$kernel_dir"
  vm_unpack "$kernel_dir" "linux-image-$KERNEL_ABI" "linux-headers-$KERNEL_ABI" \
    "linux-headers-${KERNEL_ABI%-*}-common"
  # kbuild carries no ABI in its name: take the build of the same version,
  # the candidate that apt-get download just fetched.
  version=$(apt-cache policy "linux-image-$KERNEL_ABI" | sed -n 's/^ *Candidate: //p')
  vm_unpack "$kernel_dir" "linux-kbuild-${KERNEL_ABI%%.0-*}=$version"
  depmod -b "$kernel_dir" "$KERNEL_ABI"
  # The headers' Makefile names the common headers by their installed path.
  sed -i "s|^include /usr/src/|include $kernel_dir/usr/src/|" \
    "$kernel_dir/usr/src/linux-headers-$KERNEL_ABI/Makefile"
  touch "$kernel_dir/.complete"
fi
vmlinuz=$kernel_dir/boot/vmlinuz-$KERNEL_ABI

# --- initramfs ---------------------------------------------------------------
root=$work/root
rm -rf "$root"
mkdir -p "$root"/{bin,dev,proc,sys,tmp,lib/modules}

cp /bin/busybox "$root/bin/busybox"
# sh and the applets the guest programs' shell commands use.
for applet in sh mount insmod cat echo poweroff kill sleep tail tr grep rm; do
  ln -s busybox "$root/bin/$applet"
done

vm_module_order "$kernel_dir" "$KERNEL_ABI" "${MODULES[@]}" > "$work/modules.list"
: > "$root/lib/modules/load-order"
while read -r ko; do
  cp "$ko" "$root/lib/modules/"
  basename "$ko" >> "$root/lib/modules/load-order"
done < "$work/modules.list"

# The GPIO controller the lamps are tested on, built for this kernel.
gpio_build=$work/gpio_chip
rm -rf "$gpio_build"
cp -r "$here/gpio_chip" "$gpio_build"
make -s -C "$kernel_dir/usr/src/linux-headers-$KERNEL_ABI" M="$gpio_build" modules 2>&1 |
  { grep -v 'Skipping BTF generation' || true; }
cp "$gpio_build/osl_vm_gpio.ko" "$root/lib/modules/"
echo osl_vm_gpio.ko >> "$root/lib/modules/load-order"

# Programs and the shared libraries they load, at the same paths as here.
copy_with_libs() {
  cp "$1" "$root/bin/"
  ldd "$1" | awk '/=> \// { print $3 } /^\t\// { print $1 }' | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}
copy_with_libs "$(command -v btvirt)"
copy_with_libs "$guest"
for program in ${programs[@]+"${programs[@]}"}; do
  copy_with_libs "$program"
done
basename "$guest" > "$root/guest"
cp "$here/init.sh" "$root/init"
chmod +x "$root/init"

initramfs=$work/initramfs.cpio.gz
vm_make_initramfs "$root" "$initramfs"

# --- boot ----------------------------------------------------------------------
console=$work/console.log
vm_boot vm "$console" "$VM_TIMEOUT_S" \
  qemu-system-x86_64 -m 512 -nographic -no-reboot -net none \
    -kernel "$vmlinuz" -initrd "$initramfs" \
    -append "console=ttyS0 panic=-1 quiet${OSL_VM_APPEND:+ $OSL_VM_APPEND}"

vm_verdict "$console" || exit 1
if ! grep -qx 'vm: guest exited with status 0' "$console"; then
  echo "vm: FAILED: the guest program did not end with status 0" >&2
  exit 1
fi
echo "vm: passed: $VM_VERDICT"
