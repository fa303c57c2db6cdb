#!/bin/sh
# Runs the maintainer scripts of the gwagent package the way dpkg calls them
# and checks what they ask of systemd, with recording stand-ins for
# systemctl, deb-systemd-helper and deb-systemd-invoke on a PATH that holds
# nothing else. It runs in a private mount namespace with tmpfs on /run
# (where "systemd is running" is faked by /run/systemd/system) and on
# /var/lib (the state directory that purge removes), so the machine's own
# services and files are never reached.
#
# usage: check_maintainer_scripts.sh DEBDIR ARCH
# Exit status 77 (skipped) when no mount namespace can be had.
set -u

debdir=$1 arch=$2
state_dir=/var/lib/gwagent

if [ "${GW_IN_PRIVATE_NS:-}" != 1 ]; then
    for how in "unshare -m" "unshare -r -m"; do
        if $how true 2>/dev/null; then
            GW_IN_PRIVATE_NS=1 exec $how sh "$0" "$@"
        fi
    done
    echo "SKIP: no private mount namespace (needs root or user namespaces)"
    exit 77
fi

mount -t tmpfs gwtest-run /run || exit 1
mount -t tmpfs gwtest-varlib /var/lib || exit 1
work=$(mktemp -d "${TMPDIR:-/tmp}/gwmaint.XXXXXX")
trap 'rm -rf "$work"' EXIT

set -- "$debdir"/gwagent_*_"$arch".deb
[ $# -eq 1 ] && [ -f "$1" ] || { echo "FAIL: no single gwagent_*_$arch.deb in $debdir" >&2; exit 1; }
dpkg-deb -e "$1" "$work/control" || exit 1
# Every unit but a template (a socket starts its instances).
units=$(dpkg-deb -c "$1" | sed -n 's#.*\./usr/lib/systemd/system/\([^/@]*\.\(service\|socket\)\)$#\1#p')
if [ -z "$units" ]; then
    echo "FAIL: the package holds no systemd unit" >&2
    exit 1
fi

# Stand-ins: each logs its name and arguments. deb-systemd-helper was-enabled
# answers as FAKE_WAS_ENABLED says (a unit dpkg has not seen is "enabled").
mkdir "$work/bin-helpers" "$work/bin-plain"
for tool in systemctl deb-systemd-helper deb-systemd-invoke; do
    cat >"$work/bin-helpers/$tool" <<EOF
#!/bin/sh
echo "$tool \$*" >>"\$FAKE_LOG"
if [ "$tool" = deb-systemd-helper ]; then
    for a; do [ "\$a" = was-enabled ] && [ "\${FAKE_WAS_ENABLED:-yes}" = no ] && exit 1; done
fi
exit 0
EOF
    chmod 755 "$work/bin-helpers/$tool"
done
cp "$work/bin-helpers/systemctl" "$work/bin-plain/systemctl"
for tool in rm; do
    ln -s "$(command -v $tool)" "$work/bin-helpers/$tool"
    ln -s "$(command -v $tool)" "$work/bin-plain/$tool"
done

errors=0
fail() {
    echo "FAIL: $*" >&2
    errors=$((errors + 1))
}

# One case: NAME SYSTEMD(yes|no) HELPERS(yes|no) WAS_ENABLED(yes|no) SCRIPT ARGS...
# then the log is checked with want/wont lines, where %u stands for each unit.
run() {
    name=$1 systemd=$2 helpers=$3 was=$4 script=$5
    shift 5
    rm -rf /run/systemd
    [ "$systemd" = yes ] && mkdir -p /run/systemd/system
    bin=$work/bin-plain
    [ "$helpers" = yes ] && bin=$work/bin-helpers
    log=$work/log
    : >"$log"
    if ! FAKE_LOG=$log FAKE_WAS_ENABLED=$was PATH=$bin /bin/sh "$work/control/$script" "$@" \
        >"$work/out" 2>&1; then
        fail "$name: $script $* failed: $(cat "$work/out")"
    fi
}
want() {
    for u in $units; do
        line=$(echo "$1" | sed "s/%u/$u/g")
        grep -qxF "$line" "$log" || fail "$name: want \"$line\"; got: $(tr '\n' '|' <"$log")"
    done
}
wont() {
    for u in $units; do
        line=$(echo "$1" | sed "s/%u/$u/g")
        ! grep -qF "$line" "$log" || fail "$name: did not want \"$line\""
    done
}

run "first install, systemd running" yes yes yes postinst configure ""
want "deb-systemd-helper unmask %u"
want "deb-systemd-helper enable %u"
want "deb-systemd-invoke start %u"
want "systemctl --system daemon-reload"

run "upgrade of a unit the administrator disabled" yes yes no postinst configure 0.0.9
want "deb-systemd-helper update-state %u"
wont "deb-systemd-helper enable %u"
want "deb-systemd-invoke restart %u"

run "install into an image, systemd not running" no yes yes postinst configure ""
want "deb-systemd-helper enable %u"
wont "deb-systemd-invoke"
wont "systemctl"

# Enabling, starting and stopping are the Debian helpers' (init-system-helpers
# is essential): systemctl itself only reloads the unit files, as debhelper's
# snippets do.
run "systemctl only reloads" yes yes yes postinst configure ""
wont "systemctl enable"
wont "systemctl start"
run "systemctl only reloads, on removal" yes yes yes prerm remove
wont "systemctl stop"

run "removal stops the services" yes yes yes prerm remove
want "deb-systemd-invoke stop %u"

run "an upgrade leaves them running" yes yes yes prerm upgrade 0.2.0
wont "stop"

mkdir -p "$state_dir" && echo block >"$state_dir/config.block"
run "removal keeps the state" yes yes yes postrm remove
want "deb-systemd-helper mask %u"
[ -f "$state_dir/config.block" ] || fail "postrm remove deleted $state_dir"

run "purge disables for good and deletes the state" yes yes yes postrm purge
want "deb-systemd-helper purge %u"
want "deb-systemd-helper unmask %u"
[ ! -e "$state_dir" ] || fail "postrm purge left $state_dir"

mkdir -p "$state_dir"
run "purge after init-system-helpers is gone" no no yes postrm purge
wont "systemctl disable"
[ ! -e "$state_dir" ] || fail "postrm purge left $state_dir"

if [ "$errors" -ne 0 ]; then
    echo "$errors check(s) failed" >&2
    exit 1
fi
echo "maintainer scripts: all checks passed for" $units
