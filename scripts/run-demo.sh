#!/bin/sh
# Installs what is missing, builds, and starts gwcfgd in the foreground on
# loopback with the embedded factory defaults. Stop it with Ctrl-C.
#
#   scripts/run-demo.sh [extra gwcfgd options]
set -eu
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target gwcfgd

echo "gwcfgd on 127.0.0.1:48321 (Ctrl-C stops it)"
exec build/default/host/gwcfgd --bind 127.0.0.1 --port 48321 --mac 02:00:00:00:00:01 "$@"
