#!/bin/sh
# scripts/demo.sh against the programs of this build: every step of the road
# must show up (the shipped site defaults keep DHCP: networkmode 0, "dhcp
# mode" requests). Then the README's walk through scripts/run-demo.sh, in a
# network namespace of its own: a change confirmed, a bad change rolled
# back, a change confirmed with gwcfg confirm. Exit 77 (skipped) without
# root.
#
#   demo_smoke.sh SOURCE_DIR BUILD_DIR
set -u
if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: scripts/demo.sh needs root for its private namespaces"
    exit 77
fi
out=$(GW_DEMO_BUILD_DIR="$2" timeout 90 sh "$1/scripts/demo.sh" 2>&1)
status=$?
printf '%s\n' "$out"
if [ $status -ne 0 ]; then
    echo "FAILED: demo.sh exited with $status"
    exit 1
fi
expect() { # expect TEXT WANT...: every WANT is a line part of TEXT
    text=$1
    shift
    for want in "$@"; do
        if ! printf '%s\n' "$text" | grep -qF -- "$want"; then
            echo "FAILED: no line with: $want"
            exit 1
        fi
    done
}
expect "$out" \
    "02:00:00:00:00:01  127.0.0.1  DeviceName12345" \
    "stored as revision 1, global_conf.json rewritten; confirmed: the forwarder has run it for the whole window" \
    '+      "server_address" : "eu1.cloud.thethings.network",' \
    "gwcfgd: restart request posted: dhcp mode:" \
    "OK to restart basic_pkt_fwd service...." \
    "stopped by SIGQUIT" \
    "started; server_address: eu1.cloud.thethings.network" \
    "[sudo] date -s @" \
    "acknowledged ClrCfgBuf"
echo "demo ran every step"

# ---- the README's walk: scripts/run-demo.sh -----------------------------------
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/walk.sh" <<'EOS'
#!/bin/sh
# In a network namespace of its own: the demo's loopback, no one else's.
src=$1 build=$2 work=$3
ip link set lo up
cd "$src" || exit 1
# A process group of its own, as in a terminal: one signal stops it all.
GW_DEMO_BUILD_DIR=$build GW_DEMO_STATE=$work/state GW_DEMO_WINDOW=2 \
    setsid sh scripts/run-demo.sh > "$work/daemon.log" 2>&1 &
demo=$!
i=0
until grep -q "Ctrl-C stops them all" "$work/daemon.log" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -gt 100 ]; then echo "run-demo.sh did not start"; cat "$work/daemon.log"; exit 1; fi
    sleep 0.1
done
g="$build/tools/gwcfg"
m=02:00:00:00:00:01
step() { printf '$ gwcfg %s\n' "$*"; "$g" "$@" 2>&1; echo "(exit $?)"; }
step set $m gateway_conf.server_address=eu1.cloud.thethings.network --to 127.0.0.1
step set $m gateway_conf.server_address=lns.invalid --to 127.0.0.1
step set $m gateway_conf.server_address=eu2.cloud.thethings.network --no-wait --to 127.0.0.1
step confirm $m --to 127.0.0.1
kill -TERM -$demo
wait $demo
echo "---- run-demo.sh printed:"
cat "$work/daemon.log"
EOS
walk=$(timeout 60 unshare -n sh "$work/walk.sh" "$1" "$2" "$work" 2>&1)
status=$?
printf '%s\n' "$walk"
if [ $status -ne 0 ]; then
    echo "FAILED: the run-demo.sh walk exited with $status"
    exit 1
fi
expect "$walk" \
    "02:00:00:00:00:01: stored as revision 1, global_conf.json rewritten; confirmed: the forwarder has run it for the whole window" \
    "gwcfg set: gateway 02:00:00:00:00:01 rolled back revision 2 to the configuration before it (now revision 3): the forwarder exited" \
    "basic_pkt_fwd (stand-in) pid" \
    "cannot resolve lns.invalid; exiting" \
    "02:00:00:00:00:01: revision 4 confirmed; the gateway no longer keeps the configuration before it"
echo "run-demo.sh walk: confirmed, rolled back, confirmed"
