#!/bin/sh
# Installs the Debian packages needed to build and test, and only those that
# are missing. Safe to run again. Needs root (or sudo) only when something
# is missing.
#
#   scripts/install-deps.sh           native build, tests, fuzzing
#   scripts/install-deps.sh --armhf   also the armhf cross toolchain and qemu
#   scripts/install-deps.sh --arm64   also the arm64 cross toolchain and qemu
#                                     (both options may be given)
#   scripts/install-deps.sh --demo    only what scripts/run-demo.sh needs: a
#                                     build of the programs, without the tests
set -eu

NATIVE="cmake g++ make pkg-config libgtest-dev libgmock-dev libjsoncpp-dev
libbenchmark-dev iproute2 util-linux procps valgrind clang libclang-rt-14-dev clang-format-14
shellcheck lintian tshark sudo devscripts
systemd-container mmdebstrap dnsmasq-base
libcpp-httplib-dev chromium nodejs"
# The demo builds gwcfgd, respawner and gwcfg without the test suite; its
# stand-in forwarder is Perl (perl-base) and unshare is util-linux, both
# always installed; cpp-httplib is for gwcfg web.
DEMO="cmake g++ make libjsoncpp-dev pkg-config libcpp-httplib-dev"
ARMHF="crossbuild-essential-armhf libjsoncpp-dev:armhf libgtest-dev:armhf
libgmock-dev:armhf qemu-user"
ARM64="crossbuild-essential-arm64 libjsoncpp-dev:arm64 libgtest-dev:arm64
libgmock-dev:arm64 qemu-user"

want="$NATIVE"
foreign=""
for arg in "$@"; do
    case "$arg" in
        --armhf) foreign="$foreign armhf"; want="$want $ARMHF" ;;
        --arm64) foreign="$foreign arm64"; want="$want $ARM64" ;;
        --demo) want="$DEMO" ;;
        *) echo "usage: $0 [--armhf] [--arm64] | --demo" >&2; exit 2 ;;
    esac
done

# npm comes with some nodejs builds (NodeSource's); Debian's is a package.
command -v npm >/dev/null 2>&1 || want="$want npm"

# The browser tests' npm packages, as tests/web/package-lock.json pins them:
# playwright-core alone, which drives Debian's chromium and downloads no
# browser. Done again only when the lock file changed.
npm_packages() {
    web=$(dirname "$0")/../tests/web
    command -v npm >/dev/null 2>&1 || return 0
    [ -f "$web/package-lock.json" ] || return 0
    if cmp -s "$web/package-lock.json" "$web/node_modules/.installed-lock.json"; then
        return 0
    fi
    if (cd "$web" && npm ci --no-audit --no-fund --ignore-scripts); then
        cp "$web/package-lock.json" "$web/node_modules/.installed-lock.json"
    else
        echo "npm ci in tests/web failed; the browser tests will say so" >&2
    fi
}

missing=""
for pkg in $want; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $pkg"
    fi
done

if [ -z "$missing" ]; then
    npm_packages
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=""
elif command -v sudo >/dev/null 2>&1; then
    as_root="sudo"
else
    echo "missing packages:$missing; run this script as root to install them" >&2
    exit 1
fi

echo "installing:$missing"
for arch in $foreign; do
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        $as_root dpkg --add-architecture "$arch"
    fi
done
# One index that fails to load must not stop the others from being used.
$as_root apt-get update || echo "apt-get update reported errors; going on with what loaded" >&2
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y --no-install-recommends $missing
npm_packages
