#!/bin/sh
# Installs what is missing, builds, seeds a demo state directory and starts
# the complete gwcfgd in the foreground on loopback, with the EU868 plan and
# the site defaults (packaging/profiles/).
# Stop it with Ctrl-C; run it again to pick up where it stopped.
#
#   scripts/run-demo.sh [extra gwcfgd options]
#
# The state directory ./demo-state holds the bundled site scripts, the
# stored configuration (gwcfgd.block) and the global_conf.json the daemon
# writes, and a stand-in sudo (see below). Remove it to start again from the
# factory defaults.
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target gwcfgd gwcfg

state=demo-state
mkdir -p "$state"
# gwcfgd refuses a state directory that other accounts can write.
chmod go-w "$state"
for s in ipaddr.sh gateway.sh dns.sh; do
    cp scripts/site/$s "$state/$s"
done

# The demo daemon must not set this machine's clock: TimeSync runs
# `sudo date -s ...`, so a stand-in sudo first on the daemon's PATH prints
# the command instead of running it.
mkdir -p "$state/bin"
cat > "$state/bin/sudo" <<'EOS'
#!/bin/sh
echo "gwcfgd demo: not run: sudo $*" >&2
EOS
chmod 755 "$state/bin/sudo"
PATH=$(pwd)/$state/bin:$PATH
export PATH

# The site scripts report the interface of the default route (eth0 on a
# gateway); on a machine without one they report no address.
if [ -z "${IFACE:-}" ]; then
    IFACE=$(ip -4 route show default 2>/dev/null | awk '{ for (i = 1; i < NF; i++) if ($i == "dev") { print $(i + 1); exit } }')
    IFACE=${IFACE:-eth0}
fi
export IFACE

echo "gwcfgd on 127.0.0.1:48321, state in $state/ (Ctrl-C stops it)"
echo "try: build/default/tools/gwcfg discover --to 127.0.0.1"
echo "or, for a browser: build/default/tools/gwcfg web --to 127.0.0.1 and open http://127.0.0.1:8480/"
exec build/default/host/gwcfgd --bind 127.0.0.1 --port 48321 --mac 02:00:00:00:00:01 \
    --state-dir "$state" --profile packaging/profiles/eu868.json \
    --profile packaging/profiles/site-defaults.json "$@"
