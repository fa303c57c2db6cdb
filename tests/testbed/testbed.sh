# Test bed: a real gateway system for the packaged agent. Sourced by the
# road cases (road.sh and later ones); bash.
#
# A Debian 12 root (made once with mmdebstrap and cached outside the source
# tree, keyed by its package list and set-up) boots with systemd as PID 1
# under systemd-nspawn, on a copy-on-write overlay, in a network namespace
# of its own. A veth pair joins it (eth0) to a second namespace, the LAN,
# where dnsmasq hands out leases and where the configuration tool runs, as a
# laptop on the LAN would. Nothing touches this machine's network setup; all
# names carry the run's pid.
#
# TB_STACK (set before sourcing) is the gateway image's network stack:
#   dhcpcd-eth0     the base root; the road runs dhcpcd for eth0 alone
#                   (docs/examples/dhcpcd-eth0.conf)
#   dhcpcd          the base root as Debian ships dhcpcd: one dhcpcd for
#                   every interface (the stock unit)
#   networkmanager  the base root with network-manager instead of dhcpcd,
#                   made from the cached base root by one package install
#                   and cached too
#
#   tb_check                 prints why the bed cannot run here (and fails)
#   tb_root                  the cached root's directory for TB_STACK (makes
#                            it when missing)
#   tb_start                 LAN, container, boot; then tb_exec works
#   tb_exec CMD...           runs CMD inside the gateway (all its namespaces)
#   tb_as USER CMD...        the same as a local account of the gateway
#   tb_lan CMD...            runs CMD on the LAN side
#   tb_copy_in SRC DST       copies a host file into the gateway
#   tb_wait SECONDS CMD...   retries CMD (inside) every 0.2 s until it succeeds
#   tb_journal [ARGS]        journalctl -o cat inside
#   tb_forwarders            "pid uid start_ticks" of each running basic_pkt_fwd
#   tb_standin_lines         the stand-in forwarder's journal lines
#   tb_stop                  shuts everything down; tb_start installs it as
#                            the EXIT trap, so a failure cleans up too
#
# Variables after tb_start: TB_NAME, TB_PID1 (the container's init as seen
# from here), TB_LAN_NS, TB_GW_NS, TB_LAN_IP (the LAN side's address),
# TB_WORK (scratch directory, removed by tb_stop).

TB_CACHE=${GW_TESTBED_CACHE:-/var/cache/gwagent-testbed}
TB_STACK=${TB_STACK:-dhcpcd-eth0}
TB_SUITE=bookworm
TB_MIRROR_HOST=deb.debian.org  # mmdebstrap's default mirror
# The packages are installed with dpkg -i, offline: the root carries the
# shared libraries they depend on (JsonCpp; cpp-httplib for gwcfg web;
# libmosquitto for the broker link).
TB_PACKAGES="systemd,systemd-sysv,dbus,libpam-systemd,sudo,dhcpcd-base,dhcpcd,iproute2,procps,libjsoncpp25,libcpp-httplib0.11,libmosquitto1"
TB_SUBNET=10.47.0
TB_LAN_IP=$TB_SUBNET.1
TB_FWD_DIR=/home/pi/lora0427/lora/packet_forwarder/basic_pkt_fwd

tb_log() { printf '[testbed %s] %s\n' "$(date +%T)" "$*" >&2; }

tb_check() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "needs root (network namespaces, systemd-nspawn, cgroups)"
        return 1
    fi
    for tool in systemd-nspawn mmdebstrap dnsmasq ip nsenter unshare flock; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "$tool is not installed (scripts/install-deps.sh installs systemd-container," \
                "mmdebstrap and dnsmasq-base)"
            return 1
        fi
    done
    if [ ! -d /sys/fs/cgroup/unified ] && [ ! -f /sys/fs/cgroup/cgroup.controllers ]; then
        echo "no cgroup v2 hierarchy to boot systemd in"
        return 1
    fi
    if ! ip netns add "gwtb-probe-$$" 2>/dev/null; then
        echo "cannot make network namespaces"
        return 1
    fi
    ip netns del "gwtb-probe-$$"
    # The first root comes from a Debian mirror; a cached one needs none.
    if [ ! -f "$TB_CACHE/root-$(tb_root_key)/.complete" ] &&
        ! timeout 10 bash -c "exec 3<>/dev/tcp/$TB_MIRROR_HOST/80" 2>/dev/null; then
        echo "no Debian root cached in $TB_CACHE and no route to the mirror $TB_MIRROR_HOST"
        return 1
    fi
    return 0
}

# The root's set-up after the packages: what a gateway image has that the
# packages do not bring. Part of the cache key.
tb_root_setup() {
    # $1: the root being made
    echo gateway >"$1/etc/hostname"
    printf '127.0.0.1 localhost\n127.0.1.1 gateway\n' >"$1/etc/hosts"
    # No udev runs in a container: dhcpcd must not wait for it.
    echo nodev >>"$1/etc/dhcpcd.conf"
    # The gateway's accounts: pi (in the device groups a Raspberry Pi image
    # gives it) and another local account.
    chroot "$1" groupadd -r spi
    chroot "$1" groupadd -r gpio
    chroot "$1" useradd -m -s /bin/sh -G spi,gpio pi
    chroot "$1" useradd -m -s /bin/sh eve
    # A quiet boot: no login prompts.
    chroot "$1" systemctl mask console-getty.service getty@.service systemd-logind.service >/dev/null 2>&1 || true
    # Journal in memory only (the overlay is thrown away anyway).
    mkdir -p "$1/etc/systemd/journald.conf.d"
    printf '[Journal]\nStorage=volatile\nRateLimitBurst=0\n' >"$1/etc/systemd/journald.conf.d/testbed.conf"
}

tb_root_key() {
    { echo "$TB_SUITE $TB_PACKAGES"; declare -f tb_root_setup; } | sha256sum | cut -c1-16
}

# The NetworkManager root: the base root's set-up, then what an image that
# manages its network with NetworkManager has. Part of its cache key.
tb_nm_setup() {
    # $1: the root being made
    # No udev in a container: NetworkManager takes eth0 (a veth) only when
    # told to; a board's image needs no such file.
    mkdir -p "$1/etc/NetworkManager/conf.d"
    printf '[device-testbed]\nmatch-device=interface-name:eth0\nmanaged=1\n' \
        >"$1/etc/NetworkManager/conf.d/testbed.conf"
}
TB_NM_INSTALL="network-manager"
TB_NM_REMOVE="dhcpcd dhcpcd-base"

tb_nm_key() {
    { tb_root_key; echo "$TB_NM_INSTALL - $TB_NM_REMOVE"; declare -f tb_nm_setup; } |
        sha256sum | cut -c1-16
}

tb_root() {
    local base
    base=$(tb_base_root) || return 1
    case $TB_STACK in
        dhcpcd-eth0 | dhcpcd) echo "$base" ;;
        networkmanager) tb_derived_root "$base" "nm-$(tb_nm_key)" ;;
        *) echo "TB_STACK=$TB_STACK: no such stack (dhcpcd-eth0, dhcpcd, networkmanager)" >&2; return 1 ;;
    esac
}

# A root made from the base root by installing TB_NM_INSTALL and purging
# TB_NM_REMOVE with the base root's own apt (a copy of it, so the base
# stays as it is), then tb_nm_setup; cached under its key.
tb_derived_root() {
    local base=$1 key=$2 dir tmp
    dir=$TB_CACHE/root-$key
    (
        flock 9
        [ -f "$dir/.complete" ] && exit 0
        tb_log "making the root $dir from $base (once)"
        tmp=$TB_CACHE/.making-$key-$$
        rm -rf "$tmp" "$dir"
        cp -a --reflink=auto "$base" "$tmp" || exit 1
        rm -f "$tmp/.complete"
        # apt in the copy, with this machine's resolver and a /proc.
        cp --remove-destination /etc/resolv.conf "$tmp/etc/resolv.conf"
        mount -t proc proc "$tmp/proc" || { rm -rf "$tmp"; exit 1; }
        # shellcheck disable=SC2086 # lists of package names
        chroot "$tmp" sh -c "apt-get -q update && DEBIAN_FRONTEND=noninteractive apt-get -q install \
            -y --no-install-recommends $TB_NM_INSTALL && apt-get -q purge -y $TB_NM_REMOVE &&
            apt-get clean && rm -rf /var/lib/apt/lists/*" >"$TB_CACHE/.derive-$$.log" 2>&1
        rc=$?
        umount "$tmp/proc"
        cp -a --remove-destination "$base/etc/resolv.conf" "$tmp/etc/resolv.conf"
        if [ $rc -ne 0 ]; then
            cat "$TB_CACHE/.derive-$$.log" >&2
            rm -rf "$tmp" "$TB_CACHE/.derive-$$.log"
            exit 1
        fi
        rm -f "$TB_CACHE/.derive-$$.log"
        tb_nm_setup "$tmp" && touch "$tmp/.complete" && mv "$tmp" "$dir"
    ) 9>"$TB_CACHE/.lock" || return 1
    echo "$dir"
}

tb_base_root() {
    local key dir tmp
    key=$(tb_root_key)
    dir=$TB_CACHE/root-$key
    mkdir -p "$TB_CACHE"
    (
        flock 9
        if [ -f "$dir/.complete" ]; then
            exit 0
        fi
        tb_log "making the Debian root $dir (once; about a minute)"
        tmp=$TB_CACHE/.making-$key-$$
        rm -rf "$tmp" "$dir"
        if ! mmdebstrap --quiet --variant=minbase --include="$TB_PACKAGES" "$TB_SUITE" "$tmp" \
            >"$TB_CACHE/.mmdebstrap-$$.log" 2>&1; then
            cat "$TB_CACHE/.mmdebstrap-$$.log" >&2
            rm -rf "$tmp" "$TB_CACHE/.mmdebstrap-$$.log"
            exit 1
        fi
        rm -f "$TB_CACHE/.mmdebstrap-$$.log"
        tb_root_setup "$tmp" && touch "$tmp/.complete" && mv "$tmp" "$dir"
    ) 9>"$TB_CACHE/.lock" || return 1
    # Older roots of other keys are not removed: another run may use them.
    echo "$dir"
}

# ---- the LAN and the container ---------------------------------------------

tb_start() {
    TB_NAME=gwtb$$
    TB_GW_NS=$TB_NAME-gw
    TB_LAN_NS=$TB_NAME-lan
    TB_WORK=$(mktemp -d "${TMPDIR:-/tmp}/gwtestbed.XXXXXX")
    TB_PID1=
    TB_NSPAWN_PID=
    TB_DNSMASQ_PID=
    trap 'tb_stop' EXIT
    trap 'exit 130' INT TERM HUP

    local root
    root=$(tb_root) || { echo "cannot make the Debian root" >&2; return 1; }

    ip netns add "$TB_GW_NS" || return 1
    ip netns add "$TB_LAN_NS" || return 1
    ip link add "$TB_NAME-l" netns "$TB_LAN_NS" type veth peer name eth0 netns "$TB_GW_NS" ||
        return 1
    ip -n "$TB_LAN_NS" link set lo up
    ip -n "$TB_LAN_NS" addr add "$TB_LAN_IP/24" dev "$TB_NAME-l"
    ip -n "$TB_LAN_NS" link set "$TB_NAME-l" up
    # A laptop's default route: broadcasts to 255.255.255.255 leave by the LAN.
    ip -n "$TB_LAN_NS" route add default dev "$TB_NAME-l"
    # The gateway's eth0 keeps a fixed MAC address: gwcfg addresses it.
    ip -n "$TB_GW_NS" link set eth0 address 02:47:00:00:00:01
    ip netns exec "$TB_LAN_NS" dnsmasq --port=0 --bind-interfaces --interface="$TB_NAME-l" \
        --dhcp-range="$TB_SUBNET.100,$TB_SUBNET.150,255.255.255.0,1h" \
        --dhcp-option=option:router,"$TB_LAN_IP" --dhcp-leasefile="$TB_WORK/leases" \
        --pid-file="$TB_WORK/dnsmasq.pid" --log-facility="$TB_WORK/dnsmasq.log" --log-dhcp ||
        return 1
    TB_DNSMASQ_PID=$(cat "$TB_WORK/dnsmasq.pid")

    # nspawn runs in a cgroup of its own in both hierarchies; the host has
    # no systemd to give it a unit (--keep-unit, --register=no).
    local cg
    for cg in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
        [ -d "$cg" ] && mkdir "$cg/$TB_NAME"
    done
    (
        for cg in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
            [ -d "$cg/$TB_NAME" ] && echo "$BASHPID" >"$cg/$TB_NAME/cgroup.procs"
        done
        SYSTEMD_NSPAWN_API_VFS_WRITABLE=network exec systemd-nspawn --quiet -D "$root" \
            --boot --register=no --keep-unit --volatile=overlay --machine="$TB_NAME" \
            --network-namespace-path="/run/netns/$TB_GW_NS" --capability=CAP_NET_ADMIN \
            --console=passive --kill-signal=SIGRTMIN+3 </dev/null >"$TB_WORK/nspawn.log" 2>&1
    ) &
    TB_NSPAWN_PID=$!

    # The container's PID 1: the process in the cgroup that is pid 1 in its
    # own pid namespace.
    local i=0 pid
    while [ -z "$TB_PID1" ]; do
        i=$((i + 1))
        if [ $i -gt 150 ] || ! kill -0 "$TB_NSPAWN_PID" 2>/dev/null; then
            echo "the container did not start:" >&2
            cat "$TB_WORK/nspawn.log" >&2
            return 1
        fi
        sleep 0.1
        for pid in $(tb_cgroup_pids); do
            if grep -qE '^NSpid:[[:space:]]+[0-9]+[[:space:]]+1$' "/proc/$pid/status" 2>/dev/null; then
                TB_PID1=$pid
                break
            fi
        done
    done
    # Booted when systemd says so (degraded counts: a container lacks some
    # hardware units).
    if ! tb_wait 60 sh -c 'systemctl is-system-running 2>/dev/null | grep -qE "running|degraded"'; then
        echo "the gateway did not finish booting:" >&2
        tb_exec systemctl --failed --no-pager >&2 || true
        return 1
    fi
    tb_exec ip link set lo up
    tb_log "gateway $TB_NAME booted (init $TB_PID1)"
}

tb_cgroup_pids() {
    local cg
    for cg in /sys/fs/cgroup/unified/$TB_NAME /sys/fs/cgroup/systemd/$TB_NAME; do
        [ -d "$cg" ] && find "$cg" -name cgroup.procs -exec cat {} + 2>/dev/null
    done
}

tb_exec() {
    nsenter -t "$TB_PID1" -a -- /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 "$@"
}

tb_as() {
    local user=$1
    shift
    tb_exec setpriv --reuid="$user" --regid="$user" --init-groups --reset-env -- "$@"
}

tb_lan() { ip netns exec "$TB_LAN_NS" "$@"; }

tb_copy_in() {
    # $1 host file, $2 path inside (its directory must exist)
    cat "$1" | tb_exec sh -c 'cat >"$1"' sh "$2"
}

tb_wait() {
    local limit=$1 i=0
    shift
    while ! tb_exec "$@" >/dev/null 2>&1; do
        i=$((i + 1))
        [ $i -gt $((limit * 5)) ] && return 1
        sleep 0.2
    done
    return 0
}

tb_journal() { tb_exec journalctl --no-pager -o cat "$@"; }

tb_forwarders() {
    # pid uid start-time (clock ticks after boot) of each running basic_pkt_fwd
    tb_exec sh -c 'for d in /proc/[0-9]*; do
        [ "$(cat $d/comm 2>/dev/null)" = basic_pkt_fwd ] || continue
        uid=$(awk "/^Uid:/ {print \$2}" $d/status 2>/dev/null) || continue
        start=$(sed "s/.*) //" $d/stat | cut -d" " -f20)
        echo "${d#/proc/} $uid $start"
    done'
}

tb_standin_lines() { tb_journal --grep='^basic_pkt_fwd stand-in' "$@" 2>/dev/null || true; }

tb_stop() {
    local rc=$? i cg
    trap - EXIT
    if [ -n "${TB_NSPAWN_PID:-}" ] && kill -0 "$TB_NSPAWN_PID" 2>/dev/null; then
        # nspawn turns SIGTERM into a clean poweroff of the container.
        kill -TERM "$TB_NSPAWN_PID" 2>/dev/null
        i=0
        while kill -0 "$TB_NSPAWN_PID" 2>/dev/null && [ $i -lt 100 ]; do
            sleep 0.1
            i=$((i + 1))
        done
        kill -KILL "$TB_NSPAWN_PID" 2>/dev/null
        wait "$TB_NSPAWN_PID" 2>/dev/null
    fi
    # Whatever is left in the bed's cgroups (nothing, normally).
    for i in 1 2 3 4 5; do
        pids=$(tb_cgroup_pids)
        [ -z "$pids" ] && break
        # shellcheck disable=SC2086
        kill -KILL $pids 2>/dev/null
        sleep 0.1
    done
    for cg in /sys/fs/cgroup/systemd /sys/fs/cgroup/unified; do
        [ -d "$cg/$TB_NAME" ] && find "$cg/$TB_NAME" -depth -type d -exec rmdir {} + 2>/dev/null
    done
    if [ -n "${TB_DNSMASQ_PID:-}" ]; then
        kill "$TB_DNSMASQ_PID" 2>/dev/null
    fi
    ip netns del "$TB_GW_NS" 2>/dev/null
    ip netns del "$TB_LAN_NS" 2>/dev/null
    [ -n "${TB_WORK:-}" ] && rm -rf "$TB_WORK"
    exit "$rc"
}
