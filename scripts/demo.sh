#!/bin/sh
# The whole road of a configuration change, in private namespaces, step by
# step: gwcfg discovers the gateway, shows and changes its configuration,
# gwcfgd stores it and rewrites global_conf.json and asks the respawner for
# a restart, the respawner stops the (stand-in) forwarder and starts it
# again; then timesync and clear.
#
#   sudo scripts/demo.sh
#   sudo GW_DEMO_BUILD_DIR=build/asan scripts/demo.sh   (no build step)
#
# Needs root for the namespaces (mount, IPC, pid, network): /home is a
# tmpfs only the demo sees (for /home/pi/fifo and the forwarder's
# directory), the loopback interface is the demo's own, and `sudo` is a
# stand-in first on PATH that runs the forwarder and only prints dhcpcd and
# date commands. Nothing on this machine is changed; all goes away at the
# end.
set -eu

if [ "${GW_DEMO_INSIDE:-}" != 1 ]; then
    self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")
    if [ -n "${GW_DEMO_BUILD_DIR:-}" ]; then
        GW_DEMO_BUILD_DIR=$(cd "$GW_DEMO_BUILD_DIR" && pwd)
    fi
    cd "$(dirname "$self")/.."
    if [ "$(id -u)" -ne 0 ]; then
        echo "demo.sh needs root for its private namespaces; run: sudo $0" >&2
        exit 1
    fi
    # GW_DEMO_BUILD_DIR: use the programs of an existing build as they are.
    if [ -z "${GW_DEMO_BUILD_DIR:-}" ]; then
        cmake --preset default >/dev/null
        cmake --build --preset default --target gwcfgd gwcfg respawner >/dev/null
        GW_DEMO_BUILD_DIR=$(pwd)/build/default
    fi
    export GW_DEMO_BUILD_DIR
    GW_DEMO_INSIDE=1 GW_DEMO_ROOT=$(pwd) exec unshare -m -i -p -n -f --mount-proc \
        --propagation private "$self" "$@"
fi

# ---- inside the namespaces ---------------------------------------------------
root=$GW_DEMO_ROOT
gwcfgd=$GW_DEMO_BUILD_DIR/host/gwcfgd
gwcfg=$GW_DEMO_BUILD_DIR/tools/gwcfg
respawner=$GW_DEMO_BUILD_DIR/respawner/respawner
mac=02:00:00:00:00:01
port=48321
fwd_dir=/home/pi/lora0427/lora/packet_forwarder/basic_pkt_fwd

work=$(mktemp -d /tmp/gwdemo.XXXXXX)
trap 'rm -rf "$work"' EXIT
state=$work/state
bin=$work/bin
mkdir -p "$state" "$bin"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; }
wait_for() { # wait_for FILE TEXT: up to 5 s
    i=0
    while ! grep -qF -- "$2" "$1" 2>/dev/null; do
        i=$((i + 1))
        [ $i -gt 100 ] && { echo "(timed out waiting for \"$2\" in $1)"; return 1; }
        sleep 0.05
    done
}
conf_excerpt() {
    sed -n '/"gateway_conf"/,/}/p;/"serverIP_conf"/,/}/p' "$state/global_conf.json"
}

step "private namespaces: pid $$, /home is a tmpfs, loopback only"
ip link set lo up
mount -t tmpfs -o mode=0755 tmpfs /home
mkdir -p /home/pi "$fwd_dir"
: > /home/pi/fifo
echo "created /home/pi/fifo (the queue key) and $fwd_dir"

# A stand-in sudo: prints what it is asked and runs only the forwarder.
cat > "$bin/sudo" <<'EOS'
#!/bin/sh
echo "[sudo] $*" >> "${GW_DEMO_SUDO_LOG:?}"
case "$1" in
    ./basic_pkt_fwd) exec "$@" ;;
    *) exit 0 ;;
esac
EOS
chmod 755 "$bin/sudo"
export GW_DEMO_SUDO_LOG=$work/sudo.log
: > "$GW_DEMO_SUDO_LOG"
PATH=$bin:$PATH
export PATH

# A stand-in forwarder: says which server it would talk to, then waits for
# the respawner's SIGQUIT. Perl (perl-base is always installed) rather than
# sh: a shell started in the background may not trap SIGQUIT.
cat > "$fwd_dir/basic_pkt_fwd" <<'EOS'
#!/usr/bin/perl
use strict;
use warnings;
my $server = '?';
if (open(my $conf, '<', 'global_conf.json')) {
    while (<$conf>) { $server = $1 if /"server_address" : "(.*)"/; }
}
sub note {
    open(my $log, '>>', $ENV{GW_DEMO_FWD_LOG}) or return;
    print $log "basic_pkt_fwd (stand-in) pid $$ $_[0]\n";
}
$SIG{QUIT} = sub { note('stopped by SIGQUIT'); exit 0 };
note("started; server_address: $server");
sleep 1 while 1;
EOS
chmod 755 "$fwd_dir/basic_pkt_fwd"
export GW_DEMO_FWD_LOG=$work/forwarder.log
: > "$GW_DEMO_FWD_LOG"
# The forwarder reads the file gwcfgd writes.
ln -s "$state/global_conf.json" "$fwd_dir/global_conf.json"

step "start respawner, gwcfgd (EU868 plan and site defaults, restart requests) and the forwarder"
for s in ipaddr.sh gateway.sh dns.sh; do cp "$root/scripts/site/$s" "$state/"; done
IFACE=lo "$gwcfgd" --bind 127.0.0.1 --port $port --mac $mac --state-dir "$state" \
    --profile "$root/packaging/profiles/eu868.json" \
    --profile "$root/packaging/profiles/site-defaults.json" --restart-requests --confirm-window 5 \
    > "$work/gwcfgd.out" 2> "$work/gwcfgd.log" &
"$respawner" > "$work/respawner.log" 2>&1 &
wait_for "$work/gwcfgd.log" "gwcfgd: serving"
grep '^gwcfgd: ' "$work/gwcfgd.log"
(cd "$fwd_dir" && sudo ./basic_pkt_fwd &)
wait_for "$GW_DEMO_FWD_LOG" "started"
cat "$GW_DEMO_FWD_LOG"

step "1. discover"
run "$gwcfg" discover --to 127.0.0.1 --timeout 500

step "2. show"
run "$gwcfg" show $mac --to 127.0.0.1 --timeout 500

step "global_conf.json before"
conf_excerpt
cp "$state/global_conf.json" "$work/before.json"

step "3. set a new network server and device name (the gateway watches the forwarder with it for 5 s)"
run "$gwcfg" set $mac gateway_conf.server_address=eu1.cloud.thethings.network \
    serverIP_conf.server_name=roof-north --to 127.0.0.1 --timeout 2000
wait_for "$work/gwcfgd.log" "restart request"

step "global_conf.json changed"
diff -u "$work/before.json" "$state/global_conf.json" | tail -n +3 || true

step "gwcfgd's log of the update"
grep -E '^gwcfgd: (update|restart|no restart|watching|revision|basic_pkt_fwd)' "$work/gwcfgd.log"

step "the respawner restarts the forwarder"
wait_for "$work/respawner.log" "OK to restart"
wait_for "$GW_DEMO_FWD_LOG" "eu1.cloud.thethings.network" || true
cat "$work/respawner.log"
echo "-- sudo calls:"
cat "$GW_DEMO_SUDO_LOG"
echo "-- forwarder:"
cat "$GW_DEMO_FWD_LOG"

step "4. timesync: the time now as seconds since the epoch (date -s goes to the stand-in sudo)"
: > "$GW_DEMO_SUDO_LOG"
# Without a text: the time now as seconds since the epoch (the gateway
# refuses a date before its build).
run "$gwcfg" timesync $mac --to 127.0.0.1 --timeout 500
wait_for "$GW_DEMO_SUDO_LOG" "date -s"
cat "$GW_DEMO_SUDO_LOG"

step "5. clear"
run "$gwcfg" clear $mac --to 127.0.0.1 --timeout 500

step "done: the namespaces and everything in them go away now"
