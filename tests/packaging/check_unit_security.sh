#!/bin/sh
# The installed units' exposure, as `systemd-analyze security --offline=yes`
# rates the unit files the gwagent package holds (unpacked with dpkg-deb -x;
# nothing is installed). Each unit has its ceiling: what its duties leave
# (see the comments in the units and docs/deploy.md). Skips (77) where
# systemd-analyze is missing.
#
# usage: check_unit_security.sh DEBDIR ARCH
set -u
debdir=$1 arch=$2

if ! command -v systemd-analyze >/dev/null 2>&1; then
    echo "SKIP: systemd-analyze is not installed (package systemd); the units are not rated"
    exit 77
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/gwsec.XXXXXX")
trap 'rm -rf "$work"' EXIT
set -- "$debdir"/gwagent_*_"$arch".deb
[ $# -eq 1 ] && [ -f "$1" ] || { echo "FAIL: no single gwagent_*_$arch.deb in $debdir" >&2; exit 1; }
dpkg-deb -x "$1" "$work/root" || exit 1

errors=0
# unit ceiling: gwcfgd has no privilege (9.2 unprotected); the root helper
# only CAP_SYS_TIME and /etc; the respawner runs the real sudo, which rules
# out every protection built on seccomp.
while read -r unit ceiling; do
    f=$work/root/usr/lib/systemd/system/$unit
    if [ ! -f "$f" ]; then
        echo "FAIL: the package holds no $unit" >&2
        errors=$((errors + 1))
        continue
    fi
    score=$(systemd-analyze security --offline=yes --no-pager "$f" 2>/dev/null |
        sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
    if [ -z "$score" ]; then
        echo "FAIL: systemd-analyze security gives no exposure for $unit" >&2
        errors=$((errors + 1))
    elif awk -v s="$score" -v m="$ceiling" 'BEGIN { exit !(s <= m) }'; then
        echo "$unit: $score (at most $ceiling)"
    else
        echo "FAIL: $unit: exposure $score, more than $ceiling" >&2
        systemd-analyze security --offline=yes --no-pager "$f" 2>&1 | grep '✗' >&2
        errors=$((errors + 1))
    fi
done <<UNITS
gwcfgd.service 5.0
gwagent-helper@.service 2.0
respawner.service 6.6
UNITS
[ "$errors" -eq 0 ] || exit 1
