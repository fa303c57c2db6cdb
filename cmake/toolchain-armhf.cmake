# Cross build for the 32-bit gateway boards: ARM, hard float, Debian's
# arm-linux-gnueabihf toolchain (crossbuild-essential-armhf) with the armhf
# libraries installed through multiarch (libjsoncpp-dev:armhf,
# libgtest-dev:armhf, libgmock-dev:armhf); tests under qemu-arm:
#
#   cmake --preset armhf && cmake --build --preset armhf && ctest --preset armhf
#
# Install what it needs with `scripts/install-deps.sh --armhf`. The shared
# part is toolchain-cross.cmake.

set(CMAKE_SYSTEM_PROCESSOR arm)
set(GW_CROSS_TRIPLET arm-linux-gnueabihf)
set(GW_QEMU_NAME qemu-arm)
set(GW_CROSS_LOADER ld-linux-armhf.so.3)
set(GW_DEB_ARCH armhf)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-cross.cmake)

# 64-bit time_t and file offsets: the boards must keep a correct clock past
# 2038 (TimeSync, get_current_datetime). glibc's default on armhf is still
# 32 bits; no interface of the modules carries a time_t or off_t.
set(CMAKE_C_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64")
