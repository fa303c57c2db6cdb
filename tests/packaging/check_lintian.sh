#!/bin/sh
# Runs lintian on every package of the build: no error and no warning
# (information and pedantic tags are shown, not counted).
#
# usage: check_lintian.sh DEBDIR
# Exit status 77 (skipped) when lintian is not installed.
set -u
debdir=$1
if ! command -v lintian >/dev/null 2>&1; then
    echo "SKIP: lintian is not installed (scripts/install-deps.sh installs it)"
    exit 77
fi
status=0
found=0
for deb in "$debdir"/*.deb; do
    [ -f "$deb" ] || continue
    found=$((found + 1))
    out=$(lintian --fail-on error,warning --tag-display-limit 0 "$deb" 2>&1)
    rc=$?
    # lintian notes that it runs as root; CI does.
    printf '%s\n' "$out" | grep -v -e 'running with root privileges' -e '^$'
    if [ "$rc" -ne 0 ]; then
        echo "FAIL: lintian reports errors or warnings for ${deb##*/}"
        status=1
    else
        echo "ok: ${deb##*/}"
    fi
done
[ "$found" -gt 0 ] || { echo "FAIL: no package in $debdir"; exit 1; }
exit $status
