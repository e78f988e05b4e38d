# Cross build for the kit's board: 32-bit ARM, hard-float ABI, with Debian's
# arm-linux-gnueabihf compilers (crossbuild-essential-armhf). The target's
# libraries come from Debian's armhf multiarch packages (libbluetooth-dev:armhf
# and the others that tools/deps.sh --arm installs), which sit beside the
# host's under the usual prefix: no separate sysroot.
#
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.toolchain.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(OSL_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${OSL_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${OSL_ARMHF_TRIPLET}-g++)

# Multiarch: find_library and find_package look in /usr/lib/arm-linux-gnueabihf
# and its cmake/ directory, never in the host's x86_64 ones.
set(CMAKE_LIBRARY_ARCHITECTURE ${OSL_ARMHF_TRIPLET})

# pkg-config (BlueZ) reads only the armhf .pc files and the architecture-free
# ones. The toolchain file is read again for every try_compile, so the
# environment is set each time.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${OSL_ARMHF_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Programs that run during the build (pkg-config, the compilers) are the
# host's; libraries, headers and CMake packages are the target's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# The board runs the optimised build that the x86 release is (-O3, the build
# type tools/cross-build.sh asks for), with debugging information kept: the
# packages ship the programs stripped and the information in a separate
# -dbgsym package, and the benchmarks read it to name functions.
#
# The instruction set stays Debian's default, Thumb-2: ARM mode (-marm) saved
# under 1 % of the cipher's instructions, for larger code everywhere.
set(CMAKE_C_FLAGS_RELEASE_INIT "-g")
set(CMAKE_CXX_FLAGS_RELEASE_INIT "-g")
