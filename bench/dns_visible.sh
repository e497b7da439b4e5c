#!/usr/bin/env bash
# Update to visible in DNS, measured: tovix-server and pdns_server (with
# server/dns/pdns.conf: caches on, purged by the server through the control
# socket) over one database in a private network namespace, then
# bench/dns_visible.py. Needs root and a host build of tovix-server.
#
#   bash bench/dns_visible.sh [COUNT] [PATH/TO/tovix-server]
#
# PDNS_EXTRA_ARGS adds pdns_server settings, e.g. every cache off for a
# comparison: PDNS_EXTRA_ARGS="--cache-ttl=0 --query-cache-ttl=0
# --negquery-cache-ttl=0".
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
count=${1:-300}
server=${2:-$here/../build/host-release/tovix-server}
[ -x "$server" ] || server=$here/../build/host/tovix-server
if [ "${TOVIX_BENCH_IN_NETNS:-}" != 1 ]; then
    export TOVIX_BENCH_IN_NETNS=1
    exec unshare -n sh -c 'ip link set lo up && exec bash "$@"' bench "$0" "$count" "$server"
fi
. "$here/../tests/support/names-test.sh"
names_test_begin "$server"
echo "tovix-server: $server; $count updates of home.tovix.example"
python3 "$here/dns_visible.py" home.tovix.example tovix KoReL52 "$count"
