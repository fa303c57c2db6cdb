#!/bin/sh
# Installs what is missing, checks that every C and C++ source is formatted
# as .clang-format says, builds, and runs the whole test suite: the native
# build first, then the same tests under ASan + UBSan, then the road on a
# booted gateway (the test bed, native build only), then the armhf and the
# arm64 cross builds with their tests under qemu-arm and qemu-aarch64, then every fuzz harness for 30 seconds.
# Prints how long each stage took.
set -eu
cd "$(dirname "$0")/.."

durations=""
stage_done() {
    took=$(($(date +%s) - $2))
    durations="$durations
  $1: $((took / 60)) min $((took % 60)) s"
    echo "=== $1 took ${took} s"
}

scripts/install-deps.sh

echo "=== format"
scripts/check-format.sh

started=$(date +%s)
for preset in default asan; do
    echo "=== preset $preset: configure and build"
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    echo "=== preset $preset: tests"
    ctest --preset "$preset"
done
stage_done "native and asan presets (build and tests, packaging included)" "$started"

# The road on a booted Debian 12 gateway (tests/testbed), once, from the
# native build: it skips with a message where root, nspawn, cgroups or a
# Debian mirror for its first root are missing.
started=$(date +%s)
echo "=== test bed: the packaged road on a booted gateway"
ctest --preset testbed
stage_done "test bed (packages on a booted Debian 12 under systemd-nspawn)" "$started"

# The cross builds for the boards: 32-bit (armhf) and 64-bit (arm64) images.
cross_stage() { # cross_stage PRESET TRIPLET QEMU
    started=$(date +%s)
    if scripts/install-deps.sh "--$1" && command -v "$2-g++" >/dev/null 2>&1 &&
        command -v "$3" >/dev/null 2>&1; then
        echo "=== preset $1: configure and build"
        cmake --preset "$1"
        cmake --build --preset "$1"
        echo "=== preset $1: tests under $3"
        ctest --preset "$1"
        stage_done "$1 preset (cross build, tests under $3)" "$started"
    else
        echo "=== preset $1: SKIPPED: the $2 toolchain or $3 is missing" \
            "and could not be installed (scripts/install-deps.sh --$1, as root)"
    fi
}
cross_stage armhf arm-linux-gnueabihf qemu-arm
cross_stage arm64 aarch64-linux-gnu qemu-aarch64

started=$(date +%s)
scripts/fuzz.sh all 30
stage_done "fuzz harnesses, 30 s each" "$started"

echo "=== stage durations:$durations"
