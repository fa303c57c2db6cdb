# What the cross toolchain files (toolchain-armhf.cmake, toolchain-arm64.cmake)
# share. They set, before including this file:
#   CMAKE_SYSTEM_PROCESSOR  arm, aarch64
#   GW_CROSS_TRIPLET        arm-linux-gnueabihf, aarch64-linux-gnu
#   GW_QEMU_NAME            qemu-arm, qemu-aarch64 (user-mode, qemu-user)
#   GW_CROSS_LOADER         the dynamic loader's name in /lib
#   GW_DEB_ARCH             the Debian architecture of the packages (armhf, arm64)
# and get Debian's cross compilers, the multiarch libraries of the target
# and test programs that run under user-mode qemu, so that a plain `ctest`
# in the build tree runs the unit tests.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${GW_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${GW_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${GW_CROSS_TRIPLET})

# Headers and libraries of the target only: the multiarch directories
# (/usr/lib/<triplet>) and the cross toolchain's own tree. Programs (qemu,
# dpkg-deb, ...) are the build machine's.
set(CMAKE_FIND_ROOT_PATH /usr/${GW_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# pkg-config (libmosquitto, cpp-httplib) reads the target's .pc files only:
# the multiarch directory and the architecture-independent one, never the
# build machine's, whose flags would link its own libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${GW_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# The dynamic loader and the C library must come from the same glibc build:
# they share private data layouts, and a mismatched pair fails in odd places
# (a forked child crashes at once). The loader searches the multiarch
# directory /lib/<triplet> before its own tree, so where the multiarch C
# library (libc6:<arch>, a dependency of libjsoncpp-dev:<arch>) is installed,
# its loader is used too: qemu runs with the real root as prefix. Without it
# everything comes from the cross tree.
find_program(GW_QEMU ${GW_QEMU_NAME})
if(EXISTS /lib/${GW_CROSS_LOADER} AND EXISTS /lib/${GW_CROSS_TRIPLET}/libc.so.6)
  set(GW_QEMU_LD_PREFIX /)
else()
  set(GW_QEMU_LD_PREFIX /usr/${GW_CROSS_TRIPLET})
endif()
if(GW_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GW_QEMU} -L ${GW_QEMU_LD_PREFIX})
elseif(NOT DEFINED GW_BUILD_TESTS OR GW_BUILD_TESTS)
  message(FATAL_ERROR "${GW_QEMU_NAME} not found: the ${GW_DEB_ARCH} tests run under it. Install "
                      "it with scripts/install-deps.sh --${GW_DEB_ARCH}, or configure with "
                      "-DGW_BUILD_TESTS=OFF.")
endif()
