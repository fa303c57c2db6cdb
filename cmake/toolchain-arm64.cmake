# Cross build for the 64-bit gateway boards (arm64 images of Raspberry Pi OS
# and Debian): Debian's aarch64-linux-gnu toolchain
# (crossbuild-essential-arm64) with the arm64 libraries installed through
# multiarch (libjsoncpp-dev:arm64, libgtest-dev:arm64, libgmock-dev:arm64);
# tests under qemu-aarch64:
#
#   cmake --preset arm64 && cmake --build --preset arm64 && ctest --preset arm64
#
# Install what it needs with `scripts/install-deps.sh --arm64`. The shared
# part is toolchain-cross.cmake.

set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(GW_CROSS_TRIPLET aarch64-linux-gnu)
set(GW_QEMU_NAME qemu-aarch64)
set(GW_CROSS_LOADER ld-linux-aarch64.so.1)
set(GW_DEB_ARCH arm64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-cross.cmake)
