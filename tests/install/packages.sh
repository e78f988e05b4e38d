#!/usr/bin/env bash
# Builds the Debian package of a build, checks what it holds, and, for the
# build machine's own architecture, that it installs, that systemd accepts its
# unit, and that it removes cleanly again.
#
#   tests/install/packages.sh BUILD_DIR WORK_DIR
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR WORK_DIR" >&2; exit 2; }
build=$(realpath "$1")
work=$2
rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")

(cd "$work" && cpack --config "$build/CPackConfig.cmake" > cpack.log) ||
  { cat "$work/cpack.log" >&2; exit 1; }
deb=$(find "$work" -maxdepth 1 -name 'ostrel-kit_*.deb' | head -n 1)
[ -n "$deb" ] || { echo "packages: no package made" >&2; exit 1; }
arch=$(dpkg-deb -f "$deb" Architecture)
echo "packages: $(basename "$deb") ($arch)"

contents=$(dpkg-deb -c "$deb" | awk '{print $NF}')
missing=0
for want in ./usr/bin/ostrel_home ./usr/bin/osl_scanner ./usr/include/osl.h \
            ./usr/lib/libostrel_lib.a ./usr/lib/libostrel_lib_scanner.a \
            ./usr/lib/pkgconfig/ostrel.pc ./usr/lib/cmake/ostrel/ostrelConfig.cmake \
            ./usr/lib/cmake/ostrel/ostrelTargets.cmake ./usr/lib/systemd/system/ostrel_home.service; do
  if ! grep -qx -- "$want" <<< "$contents"; then
    echo "packages: $want missing" >&2
    missing=1
  fi
done
# Nothing of the tests may ship.
if grep -E 'sim|test|bench' <<< "$contents"; then
  echo "packages: test or benchmark files in the package" >&2
  missing=1
fi
[ "$missing" -eq 0 ] || exit 1
echo "packages: contents as expected"

[ "$arch" = "$(dpkg --print-architecture)" ] || exit 0
if dpkg-query -W -f='${Status}' ostrel-kit 2>/dev/null | grep -q "install ok installed"; then
  echo "packages: ostrel-kit is installed on this machine already; not touching it" >&2
  exit 1
fi
dpkg -i "$deb" > "$work/install.log" 2>&1 || { cat "$work/install.log" >&2; exit 1; }
status=0
[ -x /usr/bin/ostrel_home ] || { echo "packages: /usr/bin/ostrel_home not installed" >&2; status=1; }
unit=/usr/lib/systemd/system/ostrel_home.service
if ! systemd-analyze verify "$unit" > "$work/verify.log" 2>&1; then
  echo "packages: systemd-analyze verify refused the unit:" >&2
  cat "$work/verify.log" >&2
  status=1
fi
dpkg -r ostrel-kit > "$work/remove.log" 2>&1 || { cat "$work/remove.log" >&2; status=1; }
for f in /usr/bin/ostrel_home /usr/bin/osl_scanner /usr/include/osl.h "$unit"; do
  [ ! -e "$f" ] || { echo "packages: $f left behind" >&2; status=1; }
done
[ "$status" -eq 0 ] && echo "packages: installed, unit verified, removed"
exit "$status"
