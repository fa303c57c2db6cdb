#!/bin/sh
# Unpacks the gwagent, gwagent-dev and gwcfg packages into a scratch root
# (dpkg-deb -x: the machine's dpkg database and /etc are not touched) and
# checks them against the source tree: every program, unit, site script,
# profile, header and the sudoers drop-in present with the right kind and
# mode, units and pkg-config free of build-machine paths, control fields and
# maintainer scripts sound; then builds and runs a C host against the
# unpacked library with nothing but `pkg-config gwagent`.
#
# usage: check_contents.sh DEBDIR SOURCEDIR ARCH "PROGRAMS" CC "EMULATOR" MULTIARCH
set -u

debdir=$1 src=$2 arch=$3 programs=$4 cc=$5 emulator=$6 multiarch=$7
libdir=usr/lib${multiarch:+/$multiarch}

work=$(mktemp -d "${TMPDIR:-/tmp}/gwpkg.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir "$root"

errors=0
fail() {
    echo "FAIL: $*" >&2
    errors=$((errors + 1))
}

# --- the two packages, unpacked into one root as if both were installed ---
for pkg in gwagent gwagent-dev gwcfg; do
    set -- "$debdir/${pkg}_"*"_$arch.deb"
    if [ $# -ne 1 ] || [ ! -f "$1" ]; then
        fail "want exactly one ${pkg}_*_$arch.deb in $debdir, found: $*"
        continue
    fi
    deb=$1
    dpkg-deb -x "$deb" "$root" || fail "$pkg: dpkg-deb -x failed"
    mkdir -p "$work/control/$pkg"
    dpkg-deb -e "$deb" "$work/control/$pkg" || fail "$pkg: dpkg-deb -e failed"
    dpkg-deb -c "$deb" >"$work/$pkg.list"
    got=$(dpkg-deb -f "$deb" Architecture)
    [ "$got" = "$arch" ] || fail "$pkg: Architecture is '$got', want '$arch'"
    [ "$(dpkg-deb -f "$deb" Package)" = "$pkg" ] || fail "$pkg: wrong Package field"
done
[ "$errors" -eq 0 ] || exit 1

depends=$(dpkg-deb -f "$debdir"/gwagent_*_"$arch".deb Depends)
for dep in libjsoncpp25 sudo iproute2; do
    case ", $depends," in
    *", $dep,"* | *", $dep "*) ;;
    *) fail "gwagent: Depends '$depends' lacks $dep" ;;
    esac
done

# --- expected files: "kind path", derived from the source tree ---
expect=""
want() { expect="$expect
$1 $2"; }
for p in $programs; do
    want program "usr/bin/$p"
    section=8
    [ "$p" = gwcfg ] && section=1
    want manpage "usr/share/man/man$section/$p.$section.gz"
done
want file "$libdir/libgwagent.a"
want file "$libdir/libgwfpga.a"
want file "$libdir/pkgconfig/gwagent.pc"
want file usr/share/bash-completion/completions/gwcfg
for pkg in gwagent gwagent-dev gwcfg; do
    want file "usr/share/doc/$pkg/copyright"
    want changelog "usr/share/doc/$pkg/changelog.gz"
done
for h in agent/agent.h fpga/fpga.h; do
    [ -f "$src/$h" ] && want file "usr/include/gwagent/${h#*/}"
done
for f in "$src"/packaging/*.service "$src"/packaging/*.socket; do
    [ -f "$f" ] && want unit "usr/lib/systemd/system/${f##*/}"
done
# The root helper, its client and the client's "sudo" name for gwcfgd.
if [ -f "$src/helper/CMakeLists.txt" ]; then
    want program usr/lib/gwagent/gwagent-helper
    want program usr/lib/gwagent/gwagent-ask
fi
for f in "$src"/scripts/site/*.sh; do
    [ -f "$f" ] && want script "usr/share/gwagent/site/${f##*/}"
done
for f in "$src"/packaging/profiles/*.json; do
    [ -f "$f" ] && want file "usr/share/gwagent/profiles/${f##*/}"
done
for f in "$src"/tools/gwcfg/web/assets/*; do
    [ -f "$f" ] && want file "usr/share/gwcfg/web/${f##*/}"
done
[ -f "$src/packaging/sudoers.d/gwagent" ] && want sudoers etc/sudoers.d/gwagent

case $arch in
amd64) machine="X86-64" ;;
armhf) machine="ARM" ;;
*) machine="" ;;
esac

echo "$expect" >"$work/expect"
while read -r kind path; do
    [ -n "$kind" ] || continue
    f=$root/$path
    if [ ! -f "$f" ]; then
        fail "missing: /$path"
        continue
    fi
    mode=$(stat -c %a "$f")
    case $kind in
    program | script)
        [ "$mode" = 755 ] || fail "/$path: mode $mode, want 755"
        ;;
    file | unit | manpage | changelog)
        [ "$mode" = 644 ] || fail "/$path: mode $mode, want 644"
        ;;
    sudoers)
        [ "$mode" = 440 ] || fail "/$path: mode $mode, want 440 (sudo ignores it otherwise)"
        grep -q " root/root .* \./$path\$" "$work/gwagent.list" ||
            fail "/$path: not owned by root/root in the package"
        if command -v visudo >/dev/null 2>&1; then
            visudo -cqf "$f" </dev/null || fail "/$path: visudo -c rejects it"
        fi
        grep -q "^/$path\$" "$work/control/gwagent/conffiles" 2>/dev/null ||
            fail "/$path: not listed in conffiles"
        ;;
    esac
    case $kind in
    program)
        if [ -n "$machine" ] && ! readelf -h "$f" 2>/dev/null | grep -q "Machine:.*$machine"; then
            fail "/$path: not a $arch program"
        fi
        ;;
    script)
        head -n 1 "$f" | grep -q '^#!/bin/sh' || fail "/$path: not a /bin/sh script"
        sh -n "$f" </dev/null || fail "/$path: sh -n rejects it"
        ;;
    unit)
        # Every command a unit starts exists: in the package, or on every
        # Debian system (/bin/sh). None points into /usr/local.
        grep -E '^Exec[A-Za-z]*=' "$f" >"$work/exec" || true
        while IFS='=' read -r _key cmd; do
            cmd=${cmd%% *}
            cmd=$(echo "$cmd" | sed 's/^[-@:+!]*//')
            # The forwarder is the vendor's, in its own directory; the unit
            # that starts it has a ConditionFileIsExecutable for it.
            case $cmd in
            /home/pi/lora0427/lora/packet_forwarder/basic_pkt_fwd/*)
                grep -q "^ConditionFileIsExecutable=$cmd\$" "$f" ||
                    fail "/$path: runs the forwarder $cmd without a condition on it"
                continue
                ;;
            esac
            if [ ! -x "$root$cmd" ] && [ ! -x "$cmd" ]; then
                fail "/$path: runs $cmd, which the package does not hold"
            fi
        done <"$work/exec"
        # A template runs one instance per connection of its socket.
        case $path in
        *@.service) ;;
        *) grep -q '^WantedBy=' "$f" || fail "/$path: no [Install] WantedBy=, cannot be enabled" ;;
        esac
        ;;
    manpage)
        gzip -t "$f" 2>/dev/null || fail "/$path: not gzip"
        gzip -dc "$f" | grep -q '^\.TH ' || fail "/$path: not a manual page"
        ;;
    changelog)
        # The newest entry is this version.
        top=$(gzip -dc "$f" | head -n 1)
        version=$(dpkg-deb -f "$debdir"/gwagent_*_"$arch".deb Version)
        case $top in
        "gwagent ($version) "*) ;;
        *) fail "/$path: the newest entry is \"$top\", want version $version" ;;
        esac
        ;;
    esac
done <"$work/expect"

# The laptop's package: the tool alone, no service, nothing the gateway's
# package holds.
for listed in "usr/bin/gwcfg" "usr/share/man/man1/gwcfg.1.gz" "usr/share/bash-completion/completions/gwcfg" \
    "$libdir/wireshark/plugins/gwcfg.lua"; do
    case " $programs " in *" gwcfg "*) ;; *) continue ;; esac
    grep -q " \./$listed\$" "$work/gwcfg.list" || fail "gwcfg: does not hold /$listed"
    ! grep -q " \./$listed\$" "$work/gwagent.list" || fail "gwagent: holds /$listed, which is gwcfg's"
done
if grep -Eq '\./(etc|lib|usr/lib)/systemd/|\./etc/' "$work/gwcfg.list"; then
    fail "gwcfg: installs a unit or a file under /etc: $(grep -E 'systemd/|\./etc/' "$work/gwcfg.list")"
fi
for script in preinst postinst prerm postrm conffiles; do
    [ ! -e "$work/control/gwcfg/$script" ] || fail "gwcfg: has a $script"
done
[ -f "$root/usr/share/gwcfg/profiles/eu868.json" ] || fail "gwcfg: no profiles in /usr/share/gwcfg/profiles"

for f in "$root"/usr/lib/systemd/system/* "$root/$libdir/pkgconfig/gwagent.pc"; do
    [ -f "$f" ] || continue
    if grep -n '^[^#]*/usr/local' "$f" >&2; then
        fail "${f#"$root"}: names /usr/local, where the package installs nothing"
    fi
done

# gwcfgd's "sudo": a link to the root helper's client, never the real sudo.
if [ -f "$src/helper/CMakeLists.txt" ]; then
    link=$root/usr/lib/gwagent/bin/sudo
    if [ ! -L "$link" ] || [ "$(readlink "$link")" != ../gwagent-ask ]; then
        fail "/usr/lib/gwagent/bin/sudo: not a link to ../gwagent-ask"
    fi
    grep -q '^Environment=PATH=/usr/lib/gwagent/bin:' "$root/usr/lib/systemd/system/gwcfgd.service" ||
        fail "gwcfgd.service: the helper's client is not first on the daemon's PATH"
fi

# Files under /etc are conffiles, so dpkg keeps an administrator's edits.
(cd "$root" && find etc -type f 2>/dev/null) >"$work/etc-files"
while read -r f; do
    grep -q "^/$f\$" "$work/control/gwagent/conffiles" 2>/dev/null ||
        fail "/$f is not a conffile"
done <"$work/etc-files"

# The daemon's options name profiles the package holds, so a fresh install
# starts with a configuration.
f=$root/etc/default/gwcfgd
if [ -f "$f" ]; then
    profiles=$(grep '^GWCFGD_OPTS=' "$f" | tr ' "' '\n\n' | sed -n '/^--profile$/{n;p}')
    [ -n "$profiles" ] || fail "/etc/default/gwcfgd: GWCFGD_OPTS names no --profile"
    for p in $profiles; do
        [ -f "$root$p" ] || fail "/etc/default/gwcfgd: names $p, which the package does not hold"
    done
else
    fail "missing: /etc/default/gwcfgd"
fi

# --- maintainer scripts ---
for script in postinst prerm postrm; do
    f=$work/control/gwagent/$script
    if [ ! -f "$f" ]; then
        fail "gwagent: no $script"
        continue
    fi
    [ -x "$f" ] || fail "gwagent: $script is not executable"
    head -n 1 "$f" | grep -q '^#!/bin/sh' || fail "gwagent: $script is not a /bin/sh script"
    sh -n "$f" || fail "gwagent: sh -n rejects $script"
done

# --- a host daemon built from the unpacked development package ---
flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$root/$libdir/pkgconfig \
    pkg-config --cflags --libs gwagent) || fail "pkg-config gwagent failed"
# shellcheck disable=SC2086
if $cc -std=c11 -Wall -Wextra -Werror "$(dirname "$0")/host_smoke.c" $flags \
    -o "$work/host_smoke"; then
    # shellcheck disable=SC2086
    $emulator "$work/host_smoke" 2>"$work/host_smoke.err" ||
        { cat "$work/host_smoke.err" >&2; fail "the C host built from the package failed"; }
else
    fail "the C host does not build with: $cc ... $flags"
fi

if [ "$errors" -ne 0 ]; then
    echo "$errors check(s) failed" >&2
    exit 1
fi
echo "packages for $arch: all checks passed"
