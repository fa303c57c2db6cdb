# Cross build for the gateway boards: 32-bit ARM, hard float, Debian's
# arm-linux-gnueabihf toolchain (crossbuild-essential-armhf) with the armhf
# libraries installed through multiarch (libjsoncpp-dev:armhf,
# libgtest-dev:armhf, libgmock-dev:armhf).
#
# Test programs run under user-mode qemu, so a plain `ctest` in the build
# tree runs the unit tests:
#
#   cmake --preset armhf && cmake --build --preset armhf && ctest --preset armhf
#
# Install what it needs with `scripts/install-deps.sh --armhf`.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(GW_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${GW_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${GW_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${GW_CROSS_TRIPLET})

# Headers and libraries of the target only: the multiarch directories
# (/usr/lib/arm-linux-gnueabihf) and the cross toolchain's own tree. Programs
# (qemu, dpkg-deb, ...) are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${GW_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The loader and the C library come from the cross tree; qemu falls back to
# the real root for anything else (the multiarch armhf libraries).
find_program(GW_QEMU_ARM qemu-arm)
if(GW_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GW_QEMU_ARM} -L /usr/${GW_CROSS_TRIPLET})
elseif(NOT DEFINED GW_BUILD_TESTS OR GW_BUILD_TESTS)
  message(FATAL_ERROR "qemu-arm not found: the armhf tests run under it. Install it with "
                      "scripts/install-deps.sh --armhf, or configure with -DGW_BUILD_TESTS=OFF.")
endif()

# The Debian architecture name of the packages this build makes.
set(GW_DEB_ARCH armhf)

# 64-bit time_t and file offsets: the boards must keep a correct clock past
# 2038 (TimeSync, get_current_datetime). glibc's default on armhf is still
# 32 bits; no interface of the modules carries a time_t or off_t.
set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
