#!/bin/sh
# PID 1 of the test machine: load the Bluetooth modules, start btvirt's three
# virtual controllers, run the guest program, power off. Everything goes to
# the serial console, where run.sh reads it.
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp

while read -r module; do
  insmod "/lib/modules/$module" || echo "vm: insmod $module failed"
done < /lib/modules/load-order

btvirt -L -l3 > /tmp/btvirt.log 2>&1 &
# Kept for a guest program that stops btvirt and starts it again.
echo $! > /tmp/btvirt.pid
# The guest program run.sh was given (osl_vm_guest, or osl_vm_faults).
"$(cat /guest)"
status=$?
echo "vm: guest exited with status $status"
if [ "$status" -ne 0 ]; then
  echo "vm: btvirt said:"
  cat /tmp/btvirt.log
fi
poweroff -f
