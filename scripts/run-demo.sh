#!/bin/sh
# The whole road of a change on one machine: installs only what a build
# needs, builds gwcfgd, respawner and gwcfg, seeds a demo state directory and
# starts, in the foreground on 127.0.0.1:48321,
#   - gwcfgd with the EU868 plan and the site defaults, asking the respawner
#     to restart the forwarder after each change and watching the forwarder
#     that starts with it (a short confirmation window: GW_DEMO_WINDOW s,
#     default 20);
#   - the respawner;
#   - a stand-in forwarder that runs while its server name is good and exits,
#     as the real one does, when the name does not resolve (here: any name
#     ending in .invalid), so that a bad change is rolled back.
# Stop it with Ctrl-C; run it again to pick up where it stopped.
#
#   scripts/run-demo.sh [extra gwcfgd options]
#   GW_DEMO_BUILD_DIR=build/default scripts/run-demo.sh   (no install, no build)
#   GW_DEMO_STATE=DIR, GW_DEMO_WINDOW=SECONDS: another state directory, window
#
# The respawner and gwcfgd talk over a System V queue keyed by /home/pi/fifo
# and the forwarder lives under /home/pi: the demo gets a /home of its own
# in private mount, IPC and process namespaces (as root, or as any user
# where the kernel allows user namespaces, as Debian 12 does). This
# machine's network, clock and /home are left alone: `sudo` is a stand-in
# that runs only the forwarder and prints dhcpcd and date commands.
#
# ./demo-state holds the bundled site scripts, the stored configuration
# (gwcfgd.block) and its history. Remove it to start again from the factory
# defaults.
set -eu

fwd_dir=/home/pi/lora0427/lora/packet_forwarder/basic_pkt_fwd
state=${GW_DEMO_STATE:-demo-state}
port=48321
mac=02:00:00:00:00:01

if [ "${GW_DEMO_INSIDE:-}" != 1 ]; then
    cd "$(dirname "$0")/.."
    if [ -z "${GW_DEMO_BUILD_DIR:-}" ]; then
        scripts/install-deps.sh --demo
        # A build of the three programs only: no test suite, so none of its
        # packages either.
        cmake -S . -B build/demo -DGW_BUILD_TESTS=OFF >/dev/null
        cmake --build build/demo --target gwcfgd gwcfg respawner
        GW_DEMO_BUILD_DIR=build/demo
    fi
    export GW_DEMO_BUILD_DIR

    mkdir -p "$state"
    # gwcfgd refuses a state directory that other accounts can write.
    chmod go-w "$state"
    for s in ipaddr.sh gateway.sh dns.sh; do
        cp scripts/site/$s "$state/$s"
    done

    # The site scripts report the interface of the default route (eth0 on a
    # gateway); on a machine without one they report no address.
    if [ -z "${IFACE:-}" ]; then
        IFACE=$(ip -4 route show default 2>/dev/null | awk '{ for (i = 1; i < NF; i++) if ($i == "dev") { print $(i + 1); exit } }' || true)
        IFACE=${IFACE:-eth0}
    fi
    export IFACE

    ns="-m -i -p -f --mount-proc --propagation private"
    if [ "$(id -u)" -ne 0 ]; then
        # shellcheck disable=SC2086
        if unshare -r $ns true 2>/dev/null; then
            ns="-r $ns"
        else
            echo "run-demo.sh: this kernel lets only root make private namespaces, and the" >&2
            echo "respawner needs /home/pi: run it as root (sudo $0) to see safe apply." >&2
            echo "Starting gwcfgd alone, without restart requests: changes are stored and" >&2
            echo "written to $state/global_conf.json, but no forwarder watches them." >&2
            mkdir -p "$state/bin"
            printf '#!/bin/sh\necho "gwcfgd demo: not run: sudo $*" >&2\n' > "$state/bin/sudo"
            chmod 755 "$state/bin/sudo"
            PATH=$(pwd)/$state/bin:$PATH
            export PATH
            echo "gwcfgd on 127.0.0.1:$port, state in $state/ (Ctrl-C stops it)"
            exec "$GW_DEMO_BUILD_DIR/host/gwcfgd" --bind 127.0.0.1 --port $port --mac $mac \
                --state-dir "$state" --profile packaging/profiles/eu868.json \
                --profile packaging/profiles/site-defaults.json "$@"
        fi
    fi
    # shellcheck disable=SC2086
    GW_DEMO_INSIDE=1 exec unshare $ns sh scripts/run-demo.sh "$@"
fi

# ---- inside the namespaces (process 1 of its own) -----------------------------
# From here on only relative paths lead into the source tree: /home is the
# demo's own.
build=$GW_DEMO_BUILD_DIR
mount -t tmpfs -o mode=0755 tmpfs /home
mkdir -p /home/pi/bin "$fwd_dir"
: > /home/pi/fifo

# A stand-in sudo: runs the forwarder, prints everything else.
cat > /home/pi/bin/sudo <<'EOS'
#!/bin/sh
case "$1" in
    ./basic_pkt_fwd) exec "$@" ;;
    *) echo "demo sudo: not run: $*" >&2 ;;
esac
EOS
chmod 755 /home/pi/bin/sudo
PATH=/home/pi/bin:$PATH
export PATH

# A stand-in forwarder: reads global_conf.json as the forwarder does, runs
# until the respawner's SIGQUIT, and exits at once when its server name
# cannot be resolved (a name under .invalid: nothing is looked up).
cat > "$fwd_dir/basic_pkt_fwd" <<'EOS'
#!/usr/bin/perl
use strict;
use warnings;
$| = 1;
my $server = '?';
if (open(my $conf, '<', 'global_conf.json')) {
    while (<$conf>) { $server = $1 if /"server_address" : "(.*)"/; }
}
if ($server =~ /\.invalid$/) {
    print STDERR "basic_pkt_fwd (stand-in) pid $$: cannot resolve $server; exiting\n";
    sleep 1;
    exit 1;
}
$SIG{QUIT} = sub { print STDERR "basic_pkt_fwd (stand-in) pid $$: stopped by SIGQUIT\n"; exit 0 };
print STDERR "basic_pkt_fwd (stand-in) pid $$: started; server_address: $server\n";
sleep 1 while 1;
EOS
chmod 755 "$fwd_dir/basic_pkt_fwd"

"$build/respawner/respawner" &
"$build/host/gwcfgd" --bind 127.0.0.1 --port $port --mac $mac --state-dir "$state" \
    --conf-dir "$fwd_dir" --profile packaging/profiles/eu868.json \
    --profile packaging/profiles/site-defaults.json --restart-requests \
    --confirm-window "${GW_DEMO_WINDOW:-20}" "$@" &
gwcfgd=$!
i=0
while [ ! -s "$fwd_dir/global_conf.json" ]; do
    i=$((i + 1))
    if [ $i -gt 100 ] || ! kill -0 $gwcfgd 2>/dev/null; then
        echo "run-demo.sh: gwcfgd wrote no global_conf.json" >&2
        exit 1
    fi
    sleep 0.1
done
(cd "$fwd_dir" && exec sudo ./basic_pkt_fwd) &

echo "gwcfgd on 127.0.0.1:$port with the respawner and a stand-in forwarder; state in $state/;"
echo "confirmation window ${GW_DEMO_WINDOW:-20} s. Ctrl-C stops them all."
echo "try: $build/tools/gwcfg discover --to 127.0.0.1"
echo "or, for a browser: $build/tools/gwcfg web --to 127.0.0.1 and open http://127.0.0.1:8480/"
trap 'kill $gwcfgd 2>/dev/null' INT TERM
wait $gwcfgd || true
