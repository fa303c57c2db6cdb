#!/bin/sh
# scripts/demo.sh against the programs of this build: every step of the road
# must show up (the shipped site defaults keep DHCP: networkmode 0, "dhcp
# mode" requests). Exit 77 (skipped) without root.
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
for want in \
    "02:00:00:00:00:01  127.0.0.1  DeviceName12345" \
    "stored as revision 1, global_conf.json rewritten; confirmed: the forwarder has run it for the whole window" \
    '+      "server_address" : "eu1.cloud.thethings.network",' \
    "gwcfgd: restart request posted: dhcp mode:" \
    "OK to restart basic_pkt_fwd service...." \
    "stopped by SIGQUIT" \
    "started; server_address: eu1.cloud.thethings.network" \
    "[sudo] date -s @" \
    "acknowledged ClrCfgBuf"; do
    if ! printf '%s\n' "$out" | grep -qF -- "$want"; then
        echo "FAILED: no line with: $want"
        exit 1
    fi
done
echo "demo ran every step"
