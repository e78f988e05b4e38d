#!/bin/sh
# PID 1 of the ARM test machine: mount the shared build tree and armhf
# libraries at their host paths, run the suite, power off. Everything goes to
# the serial console, where run.sh reads it.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# The tests write their scratch files and the lock file under /tmp.
mount -t tmpfs tmpfs /tmp

while read -r module; do
  insmod "/modules/$module" || echo "arm: insmod $module failed"
done < /modules/load-order

# Nothing else changes these files while the machine runs, so the guest may
# keep them in its page cache: every case loads the same programs and
# libraries again.
while read -r tag path; do
  mkdir -p "$path"
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose "$tag" "$path" ||
    echo "arm: cannot mount the share $tag at $path"
done < /etc/shares

echo "arm: kernel $(uname -r) on $(uname -m), up $(cut -d ' ' -f 1 /proc/uptime) s"
osl-arm-suite /etc/suite.list "$(cat /etc/case-timeout)"
echo "arm: suite ended at $(cut -d ' ' -f 1 /proc/uptime) s"
poweroff -f
