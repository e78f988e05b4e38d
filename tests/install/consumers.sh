#!/usr/bin/env bash
# Installs a build into a staging directory and builds a kit owner's
# application out of the tree against it, both ways a kit owner would: with
# pkg-config, and with CMake's find_package. A native build's application is
# run; a cross build's is checked to be an ARM program.
#
#   tests/install/consumers.sh BUILD_DIR WORK_DIR [TOOLCHAIN_FILE]
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 BUILD_DIR WORK_DIR [TOOLCHAIN_FILE]" >&2; exit 2; }
build=$(realpath "$1")
work=$2
toolchain=${3:+$(realpath "$3")}
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
stage=$work/stage

cmake --install "$build" --prefix "$stage" > "$work/install.log"
pc_dir=$(dirname "$(find "$stage" -name ostrel.pc | head -n 1)")

check() { # PROGRAM: runs it, or for a cross build checks its machine (EM_ARM = 40)
  if [ -z "$toolchain" ]; then
    "$1"
  else
    machine=$(od -An -t u2 -j 18 -N 2 "$1" | tr -d ' ')
    [ "$machine" = 40 ] || { echo "install: $1 is not an ARM program (machine $machine)" >&2; exit 1; }
    echo "$(basename "$1"): an ARM program"
  fi
}

# pkg-config: the staged ostrel.pc, and BlueZ's for the target's architecture.
cc=cc
pc_path=$pc_dir
if [ -n "$toolchain" ]; then
  cc=arm-linux-gnueabihf-gcc
  pc_path=$pc_dir:/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig
  export PKG_CONFIG_LIBDIR=$pc_path
fi
flags=$(PKG_CONFIG_PATH=$pc_path pkg-config --cflags --libs ostrel)
echo "pkg-config --cflags --libs ostrel: $flags"
# shellcheck disable=SC2086 # the flags are words
$cc -std=c99 -Wall -Werror "$here/app/main.c" $flags -o "$work/app_pkgconfig"
check "$work/app_pkgconfig"

# CMake: find_package(ostrel) from the staging prefix.
cmake_args=(-S "$here/app" -B "$work/app_cmake" -G Ninja -DCMAKE_PREFIX_PATH="$stage")
[ -n "$toolchain" ] && cmake_args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
cmake "${cmake_args[@]}" > "$work/app_cmake.log"
cmake --build "$work/app_cmake" >> "$work/app_cmake.log"
check "$work/app_cmake/kit_owner_app"
echo "install: both ways built"
