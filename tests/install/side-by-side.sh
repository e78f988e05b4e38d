#!/usr/bin/env bash
# Installs the development package of two architectures side by side (as a
# cross build needs them), checks that each architecture's files are in
# place, and removes both again, leaving nothing behind.
#
#   tests/install/side-by-side.sh PACKAGES_DIR PACKAGES_DIR
#
# Each directory holds a libostrel-dev_*.deb (the packages test's work
# directory, e.g. build-release/tests/packages and build-armhf/tests/packages).
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 PACKAGES_DIR PACKAGES_DIR" >&2; exit 2; }
debs=()
for dir in "$@"; do
  deb=$(find "$dir" -maxdepth 1 -name 'libostrel-dev_*.deb' | head -n 1)
  [ -n "$deb" ] || { echo "side-by-side: no libostrel-dev package in $dir" >&2; exit 1; }
  debs+=("$deb")
done
names=()
for deb in "${debs[@]}"; do
  arch=$(dpkg-deb -f "$deb" Architecture)
  name=libostrel-dev:$arch
  if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed"; then
    echo "side-by-side: $name is installed on this machine already; not touching it" >&2
    exit 1
  fi
  names+=("$name")
done
[ "${names[0]}" != "${names[1]}" ] || { echo "side-by-side: both packages are ${names[0]}" >&2; exit 1; }

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
if ! dpkg -i "${debs[@]}" > "$log" 2>&1; then
  echo "side-by-side: dpkg refused to install ${names[*]} together:" >&2
  cat "$log" >&2
  status=1
fi
for name in "${names[@]}"; do
  triplet=$(dpkg-architecture -a "${name#*:}" -qDEB_HOST_MULTIARCH 2>/dev/null)
  for f in "/usr/lib/$triplet/libostrel_lib.a" "/usr/lib/$triplet/pkgconfig/ostrel.pc" \
           "/usr/lib/$triplet/cmake/ostrel/ostrelConfig.cmake"; do
    [ -e "$f" ] || { echo "side-by-side: $f not installed" >&2; status=1; }
  done
done
[ -e /usr/include/osl.h ] || { echo "side-by-side: /usr/include/osl.h not installed" >&2; status=1; }

installed=()
for name in "${names[@]}"; do
  dpkg-query -W "$name" > /dev/null 2>&1 && installed+=("$name")
done
if [ ${#installed[@]} -gt 0 ] && ! dpkg -r "${installed[@]}" > "$log" 2>&1; then
  cat "$log" >&2
  status=1
fi
for deb in "${debs[@]}"; do
  while IFS= read -r f; do
    [ -d "$f" ] || [ ! -e "$f" ] || { echo "side-by-side: $f left behind" >&2; status=1; }
  done < <(dpkg-deb -c "$deb" | awk '{print substr($6, 2)}')
done
[ "$status" -eq 0 ] && echo "side-by-side: ${names[*]} installed together and removed"
exit "$status"
