#!/bin/sh
# Builds the Debian packages (gwagent, gwagent-dev, gwcfg) for the gateway
# boards, 32-bit (armhf) and 64-bit (arm64), in one go: a cross build of each
# without the test suite (ctest --preset armhf / arm64 runs that), then
# CPack. Installs the cross toolchains when missing (as root).
#
#   scripts/build-debs.sh              armhf and arm64
#   scripts/build-debs.sh amd64 arm64  the architectures named (amd64: this
#                                      machine's native build)
#
# The packages land in build/debs/, one set per architecture:
# gwagent_<version>_<arch>.deb, gwagent-dev_..., gwcfg_...
set -eu
cd "$(dirname "$0")/.."

[ $# -gt 0 ] || set -- armhf arm64
out=build/debs
mkdir -p "$out"
for arch in "$@"; do
    case $arch in
        armhf | arm64)
            scripts/install-deps.sh "--$arch"
            preset=$arch
            ;;
        amd64 | native)
            scripts/install-deps.sh
            preset=default
            ;;
        *)
            echo "usage: $0 [armhf] [arm64] [amd64]" >&2
            exit 2
            ;;
    esac
    dir=build/debs-$arch
    echo "=== $arch: build ($dir)"
    cmake --preset "$preset" -B "$dir" -DGW_BUILD_TESTS=OFF >/dev/null
    cmake --build "$dir" -j 2
    echo "=== $arch: packages"
    cpack --config "$dir/CPackConfig.cmake" -B "$dir/cpack" >/dev/null
    cp "$dir"/cpack/*.deb "$out/"
done
ls -l "$out"/*.deb
