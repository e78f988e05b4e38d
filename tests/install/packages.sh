#!/usr/bin/env bash
# Builds the Debian packages of a build and checks them: what each holds,
# that lintian finds nothing to say about any of them (errors and warnings
# both fail; an override must carry a one-line reason), and that their
# manual pages read cleanly. For the build machine's own architecture it then
# installs them, checks that systemd accepts every unit, that the pages are
# found by man and the library by pkg-config, and that removing them leaves
# nothing behind.
#
#   tests/install/packages.sh [--no-install] BUILD_DIR WORK_DIR
#
# --no-install stops before anything is installed on this machine.
set -euo pipefail
install=1
if [ "${1:-}" = "--no-install" ]; then
  install=0
  shift
fi
[ $# -eq 2 ] || { echo "usage: $0 [--no-install] BUILD_DIR WORK_DIR" >&2; exit 2; }
build=$(realpath "$1")
work=$2
rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
status=0
fail() {
  echo "packages: $*" >&2
  status=1
}

(cd "$work" && cpack --config "$build/CPackConfig.cmake" > cpack.log 2>&1) ||
  { cat "$work/cpack.log" >&2; exit 1; }

kit=$(find "$work" -maxdepth 1 -name 'ostrel-kit_*.deb' | head -n 1)
dev=$(find "$work" -maxdepth 1 -name 'libostrel-dev_*.deb' | head -n 1)
if [ -z "$kit" ] || [ -z "$dev" ]; then
  echo "packages: ostrel-kit or libostrel-dev not made:" >&2
  ls "$work" >&2
  exit 1
fi
arch=$(dpkg-deb -f "$kit" Architecture)
triplet=$(dpkg-architecture -a "$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
mapfile -t debs < <(find "$work" -maxdepth 1 \( -name '*.deb' -o -name '*.ddeb' \) | sort)
for deb in "${debs[@]}"; do
  echo "packages: $(basename "$deb")"
done

files_of() { # PACKAGE_FILE: the paths it holds, without the leading dot
  dpkg-deb -c "$1" | awk '{print substr($6, 2)}'
}
expect() { # PACKAGE_FILE PATH...: each path is in the package
  local deb=$1 contents want
  shift
  contents=$(files_of "$deb")
  for want in "$@"; do
    grep -qx -- "$want" <<< "$contents" || fail "$(basename "$deb"): $want missing"
  done
}
refuse() { # PACKAGE_FILE REGEX WHAT: no path of the package matches
  local hits
  hits=$(files_of "$1" | grep -E -- "$2" || true)
  [ -z "$hits" ] || fail "$(basename "$1"): $3: $hits"
}

# The board's package: programs, units, their manual pages.
# One entry a line, as in packaging/CMakeLists.txt.
programs=(
  ostrel_home
  osl_scanner
  ostrel_mqtt
  osl_virtkit
)
units=(
  ostrel_home.service
  ostrel_mqtt.service
)
examples=( # example configuration files
  mqtt.toml
)
kit_files=(/usr/share/doc/ostrel-kit/copyright /usr/share/doc/ostrel-kit/changelog.gz)
for p in "${programs[@]}"; do
  kit_files+=("/usr/bin/$p" "/usr/share/man/man1/$p.1.gz")
done
for u in "${units[@]}"; do
  kit_files+=("/usr/lib/systemd/system/$u")
done
for e in "${examples[@]}"; do
  kit_files+=("/usr/share/doc/ostrel-kit/examples/$e")
done
expect "$kit" "${kit_files[@]}"
refuse "$kit" '^/usr/(include|lib/[^/]*-linux-gnu[^/]*)/' "development files in the board's package"

# The developer's package: everything under the multiarch directory.
expect "$dev" /usr/include/osl.h "/usr/lib/$triplet/libostrel_lib.a" \
  "/usr/lib/$triplet/libostrel_lib_scanner.a" "/usr/lib/$triplet/pkgconfig/ostrel.pc" \
  "/usr/lib/$triplet/cmake/ostrel/ostrelConfig.cmake" \
  "/usr/lib/$triplet/cmake/ostrel/ostrelConfigVersion.cmake" \
  "/usr/lib/$triplet/cmake/ostrel/ostrelTargets.cmake" /usr/share/man/man3/ostrel_lib.3.gz \
  /usr/share/doc/libostrel-dev/copyright /usr/share/doc/libostrel-dev/changelog.gz
refuse "$dev" '^/usr/bin/|^/usr/lib/systemd/' "programs in the development package"
refuse "$dev" '^/usr/lib/[^/]*\.a$|^/usr/lib/(pkgconfig|cmake)/' "outside the multiarch directory"
[ "$(dpkg-deb -f "$dev" Multi-Arch)" = same ] || fail "libostrel-dev is not Multi-Arch: same"
grep -q 'libbluetooth3' <<< "$(dpkg-deb -f "$kit" Depends)" ||
  fail "ostrel-kit does not depend on BlueZ's library: $(dpkg-deb -f "$kit" Depends)"

# Nothing of the tests may ship.
for deb in "${debs[@]}"; do
  refuse "$deb" 'sim|test|bench' "test or benchmark files"
done

# Every override names its reason on the line above it.
for deb in "${debs[@]}"; do
  while IFS= read -r override; do
    dir=$work/overrides
    rm -rf "$dir"
    mkdir -p "$dir"
    dpkg-deb -x "$deb" "$dir"
    awk -v f="$override" 'NF && !/^#/ && prev !~ /^#/ {
                            print f ": override without a reason: " $0; bad = 1 }
                          { prev = $0 } END { exit bad }' "$dir$override" >&2 || status=1
  done < <(files_of "$deb" | grep '^/usr/share/lintian/overrides/.' || true)
done

# lintian: any error or warning fails.
# (Its note that it runs as root is left out of what is shown.)
if ! lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}" > "$work/lintian.log" 2>&1; then
  fail "lintian:"
  grep -v 'running with root privileges' "$work/lintian.log" >&2 || true
else
  grep -v 'running with root privileges' "$work/lintian.log" || true
fi
echo "packages: lintian ran on ${#debs[@]} packages"

# The manual pages render without a complaint.
pages=$work/pages
mkdir -p "$pages"
for deb in "$kit" "$dev"; do
  dpkg-deb -x "$deb" "$pages"
done
for page in "$pages"/usr/share/man/man*/*; do
  complaints=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 > /dev/null || echo "man failed")
  [ -z "$complaints" ] || fail "$(basename "$page"): $complaints"
done

[ "$status" -eq 0 ] || exit 1
echo "packages: contents as expected ($arch)"

[ "$install" -eq 1 ] && [ "$arch" = "$(dpkg --print-architecture)" ] || exit 0
for name in ostrel-kit libostrel-dev; do
  if dpkg-query -W -f='${Status}' "$name:$arch" 2>/dev/null | grep -q "install ok installed"; then
    echo "packages: $name is installed on this machine already; not touching it" >&2
    exit 1
  fi
done
dpkg -i "$kit" "$dev" > "$work/install.log" 2>&1 || { cat "$work/install.log" >&2; exit 1; }
for p in "${programs[@]}"; do
  [ -x "/usr/bin/$p" ] || fail "/usr/bin/$p not installed"
  man -w "$p" > /dev/null 2>&1 || fail "man $p: no page found"
done
man -w 3 ostrel_lib > /dev/null 2>&1 || fail "man 3 ostrel_lib: no page found"
for u in "${units[@]}"; do
  if ! systemd-analyze verify "/usr/lib/systemd/system/$u" > "$work/verify.log" 2>&1; then
    fail "systemd-analyze verify refused $u:"
    cat "$work/verify.log" >&2
  fi
  # Installing never starts (or enables) a service before it is configured.
  if systemctl is-active --quiet "$u" 2>/dev/null || systemctl is-enabled --quiet "$u" 2>/dev/null; then
    fail "$u was started or enabled by the installation"
  fi
done
# pkg-config finds the installed library on its default path.
PKG_CONFIG_PATH='' pkg-config --exists ostrel || fail "pkg-config does not find the installed ostrel"

dpkg -r ostrel-kit libostrel-dev > "$work/remove.log" 2>&1 || { cat "$work/remove.log" >&2; status=1; }
# Every file goes, and every directory of the kit's own (shared ones such
# as /usr/bin stay).
for deb in "$kit" "$dev"; do
  while IFS= read -r f; do
    case "$f" in
      *ostrel*) [ ! -e "$f" ] || fail "$f left behind" ;;
      *) [ -d "$f" ] || [ ! -e "$f" ] || fail "$f left behind" ;;
    esac
  done < <(files_of "$deb")
done
for f in /etc/systemd/system/ostrel_home.service /etc/systemd/system/multi-user.target.wants/ostrel_home.service; do
  if [ -e "$f" ] || [ -L "$f" ]; then fail "$f left behind"; fi
done
[ "$status" -eq 0 ] && echo "packages: installed, units verified, pages found, removed"
exit "$status"
