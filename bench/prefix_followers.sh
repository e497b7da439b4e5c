#!/usr/bin/env bash
# A router's prefix update moving its followers, measured: tovix-server (with
# its metrics listener) and pdns_server (server/dns/pdns.conf: caches on,
# purged by the server) over one database in a private network namespace;
# one router with FOLLOWERS hosts that follow its LAN prefix
# (`tovix-server host follow`), then bench/prefix_followers.py: COUNT
# updates, each with a new /64, the answer's latency, and the time from its
# `good` until PowerDNS answers every follower's new AAAA. The commits are
# read from /metrics before and after. Needs root and a host build.
#
#   bash bench/prefix_followers.sh [COUNT [FOLLOWERS [PATH/TO/tovix-server]]]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
count=${1:-200}
followers=${2:-100}
server=${3:-$here/../build/host-release/tovix-server}
[ -x "$server" ] || server=$here/../build/host/tovix-server
if [ "${TOVIX_BENCH_IN_NETNS:-}" != 1 ]; then
    export TOVIX_BENCH_IN_NETNS=1
    exec unshare -n sh -c 'ip link set lo up && exec bash "$@"' bench "$0" "$count" "$followers" "$server"
fi
. "$here/../tests/support/names-test.sh"
zone=bench.example
hosts=r.$zone
for ((i = 0; i < followers; i++)); do hosts+=",f$i.$zone"; done
names_test_begin "$server" --zone "$zone" --account "bench:b3nch-pw:$hosts" \
    --metrics-listen 127.0.0.1:9161 --no-web
for ((i = 0; i < followers; i++)); do
    "$server" host follow "f$i.$zone" "r.$zone" --suffix "::$(printf %x $((i + 1)))" \
        --db "$work/names.db" >/dev/null 2>&1
done
bash "$here/machine.sh" | paste -sd';'
echo "tovix-server: $server; $count prefix updates of r.$zone, $followers followers"
python3 "$here/prefix_followers.py" "r.$zone" bench b3nch-pw "$count" "$followers" "$zone" ||
    { tail -n 5 "$work/server.err" "$work/requests.log"; exit 1; }
