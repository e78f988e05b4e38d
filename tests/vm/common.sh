# Helpers shared by the scripts that boot Debian's own kernel in qemu with a
# busybox initramfs: tests/vm/run.sh (x86, the real Bluetooth stack) and
# tests/arm/run.sh (the cross-built suite on the ARM kernel). Sourced, not run.

vm_sudo=""
[ "$(id -u)" -eq 0 ] || vm_sudo="sudo"

# vm_require HINT TOOL... : stops when a tool is missing, naming what installs it.
vm_require() {
  local hint=$1 tool
  shift
  for tool in "$@"; do
    command -v "$tool" > /dev/null || { echo "vm: $tool missing ($hint installs it)" >&2; exit 2; }
  done
}

# vm_kernel_abi PINNED PATTERN ARCH WORK_DIR : prints the kernel ABI to use.
# The kernel is pinned by its versioned package name (linux-image-<ABI>): the
# meta package moves to a new ABI with every security update. Debian drops old
# ABIs from the archive as those updates arrive; when the pinned one has gone
# (and is not cached in WORK_DIR/linux-<ABI>), the newest package whose name
# matches PATTERN, an extended regular expression over the whole name, is used
# instead, and the script says so. ARCH is the package architecture qualifier
# (":armhf"), or empty for the host's.
vm_kernel_abi() {
  local abi=$1 pattern=$2 arch=$3 work=$4 newest
  if [ -e "$work/linux-$abi/.complete" ]; then
    echo "$abi"
    return
  fi
  if ! apt-cache show "linux-image-$abi$arch" > /dev/null 2>&1; then
    $vm_sudo apt-get update -qq >&2
    if ! apt-cache show "linux-image-$abi$arch" > /dev/null 2>&1; then
      newest=$(apt-cache search --names-only "$pattern" |
               sed -n 's/^linux-image-\([^ ]*\) .*/\1/p' | sort -V | tail -n 1)
      [ -n "$newest" ] || { echo "vm: no package matching $pattern in the archive" >&2; exit 2; }
      echo "vm: linux-image-$abi has left the archive; using $newest" >&2
      abi=$newest
    fi
  fi
  echo "$abi"
}

# vm_unpack DIR PACKAGE... : downloads Debian packages and unpacks them into
# DIR, never installing them.
vm_unpack() {
  local dir=$1 deb
  shift
  mkdir -p "$dir/.debs"
  # As root, apt fetches as its own user, who may not write here: say so.
  local sandbox=()
  [ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)
  (cd "$dir/.debs" && apt-get download -q "${sandbox[@]}" "$@")
  for deb in "$dir"/.debs/*.deb; do
    dpkg-deb -x "$deb" "$dir"
  done
  rm -rf "$dir/.debs"
}

# vm_module_order KERNEL_DIR ABI MODULE... : prints the .ko files of the
# modules in load order, each after the ones it needs, each once. The tree
# needs `depmod -b KERNEL_DIR ABI` first.
vm_module_order() {
  local dir=$1 abi=$2 module
  shift 2
  for module in "$@"; do
    modprobe -d "$dir" -S "$abi" --show-depends "$module"
  done | awk '$1 == "insmod" && !seen[$2]++ { print $2 }'
}

# vm_make_initramfs ROOT OUTPUT : packs ROOT as a gzip-compressed newc archive.
vm_make_initramfs() {
  (cd "$1" && find . | cpio -o -H newc --quiet) | gzip -1 > "$2"
}

# Filters the serial console: no carriage returns, and none of the firmware's
# screen resets, which would clear the terminal of whoever reads the log.
vm_console_filter() {
  tr -d '\r' | sed -e 's/\x1bc//g' -e 's/\x1b\[[0-9;?]*[A-Za-z]//g'
}

# vm_boot LABEL CONSOLE_LOG TIMEOUT_S QEMU_COMMAND... : boots the machine with
# no input, ends it after TIMEOUT_S at the latest (a crashed guest may never
# power off), keeps its filtered console in CONSOLE_LOG, then prints how long
# it ran and the console.
vm_boot() {
  local label=$1 console=$2 timeout_s=$3 start status
  shift 3
  start=$(date +%s)
  set +e
  timeout --kill-after=10 "$timeout_s" "$@" < /dev/null 2>&1 | vm_console_filter > "$console"
  status=${PIPESTATUS[0]}
  set -e
  echo "$label: machine ran $(( $(date +%s) - start )) s (qemu status $status)"
  cat "$console"
}

# vm_verdict CONSOLE_LOG : passes when the guest's last verdict line,
# "N passed, M failed" (", K skipped" may follow), counts no failure and at
# least one pass; the line is then in VM_VERDICT.
vm_verdict() {
  local verdict passed failed
  verdict=$(grep -E '^[0-9]+ passed, [0-9]+ failed(, [0-9]+ skipped)?$' "$1" | tail -n 1 || true)
  if [ -z "$verdict" ]; then
    echo "vm: FAILED: no verdict from the guest" >&2
    return 1
  fi
  passed=${verdict%% *}
  failed=${verdict#*, }
  failed=${failed%% *}
  if [ "$failed" -ne 0 ] || [ "$passed" -eq 0 ]; then
    echo "vm: FAILED: $verdict" >&2
    return 1
  fi
  VM_VERDICT=$verdict
}
