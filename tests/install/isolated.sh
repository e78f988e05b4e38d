#!/usr/bin/env bash
# Runs a command as root in a mount namespace of its own, with /usr, /etc and
# /var as overlays on a throw-away tmpfs: what it installs with dpkg is real
# to the command (files, dpkg's database, maintainer scripts, systemd's
# view of the units) but seen by no other process and gone when it ends.
# For the package checks on a machine others are using:
#
#   tests/install/isolated.sh tests/install/packages.sh build-release build-release/tests/packages
#   tests/install/isolated.sh tests/install/side-by-side.sh DIR_A DIR_B
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: $0 COMMAND [ARG ...]" >&2; exit 2; }
if [ "${OSL_ISOLATED:-}" != 1 ]; then
  exec env OSL_ISOLATED=1 unshare --mount --propagation private "$0" "$@"
fi
scratch=$(mktemp -d)
mount -t tmpfs osl-isolated "$scratch"
for dir in usr etc var; do
  mkdir -p "$scratch/$dir.upper" "$scratch/$dir.work"
  mount -t overlay osl-isolated \
    -o "lowerdir=/$dir,upperdir=$scratch/$dir.upper,workdir=$scratch/$dir.work" "/$dir"
done
status=0
"$@" || status=$?
umount -l /usr /etc /var "$scratch" 2> /dev/null || true
rmdir "$scratch" 2> /dev/null || true
exit "$status"
