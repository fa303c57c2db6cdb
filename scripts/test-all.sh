#!/bin/sh
# Installs what is missing, builds, and runs the whole test suite: the native
# build first, then the same tests under ASan + UBSan.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh

for preset in default asan; do
    echo "=== preset $preset: configure and build"
    cmake --preset "$preset"
    cmake --build --preset "$preset"
    echo "=== preset $preset: tests"
    ctest --preset "$preset"
done
