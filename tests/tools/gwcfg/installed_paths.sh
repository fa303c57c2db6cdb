#!/bin/sh
# Every path under /usr that gwcfg's man page, help and messages cite is one
# the gwcfg package installs, and no message cites a path of the source tree
# (docs/...). Installs the tool component into a temporary prefix.
#
#   installed_paths.sh SOURCE_DIR BUILD_DIR
set -u
src=$1
build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if ! cmake --install "$build" --component tool --prefix "$tmp/usr" >"$tmp/log" 2>&1; then
    cat "$tmp/log"
    echo "FAILED: cmake --install --component tool"
    exit 1
fi
status=0
paths=$(sed 's/\\-/-/g' "$src/tools/gwcfg/gwcfg.1" "$src"/tools/gwcfg/*.cpp |
    grep -oE '/usr/share/[A-Za-z0-9_./-]*[A-Za-z0-9_]' | sort -u)
[ -n "$paths" ] || { echo "FAILED: no path found"; exit 1; }
for p in $paths; do
    if [ -e "$tmp$p" ]; then
        echo "installed: $p"
    else
        echo "FAILED: cited but not installed by the gwcfg package: $p"
        status=1
    fi
done
if grep -nE '"[^"]*[^/a-z]docs/[a-z_-]+\.md' "$src"/tools/gwcfg/*.cpp; then
    echo "FAILED: a message cites a path of the source tree"
    status=1
fi
exit $status
