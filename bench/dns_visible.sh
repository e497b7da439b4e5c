#!/usr/bin/env bash
# Update to answered by PowerDNS, measured (bench/dns_visible.py: per update a
# query that fills PowerDNS's caches, the update over a kept-alive connection,
# then raw UDP queries right after the answer), inside a private network
# namespace. Needs root and a host build of tovix-server.
#
#   bash bench/dns_visible.sh [--postgres] [--csv FILE] [COUNT] [PATH/TO/tovix-server]
#
# One node (default): tovix-server on 127.0.0.1:80 and pdns_server
# (server/dns/pdns.conf: caches on, purged by the server through the control
# socket) over one SQLite file (tests/support/names-test.sh).
#
# --postgres: two nodes over one throw-away PostgreSQL cluster
# (tests/support/postgres.sh, fsync on): tovix-server A on 127.0.0.1:8081 and
# B on :8082, each purging its own pdns_server (server/dns/pgsql/pdns.conf;
# A's on 127.0.0.1:53, B's on 127.0.0.2:53). Both PowerDNS are filled before
# each update; the update goes to A, and B's PowerDNS is asked (the purge
# reaches it through PostgreSQL's NOTIFY and B's listener).
#
# COUNT updates (default 300). --csv FILE keeps one line per update.
# PDNS_EXTRA_ARGS adds pdns_server settings, e.g. every cache off for a
# comparison: PDNS_EXTRA_ARGS="--cache-ttl=0 --query-cache-ttl=0
# --negquery-cache-ttl=0".
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mode=sqlite csv=
while [ $# -gt 0 ]; do
    case $1 in
    --postgres) mode=postgres ;;
    --csv) csv=$(realpath "$2"); shift ;;
    *) break ;;
    esac
    shift
done
count=${1:-300}
server=${2:-$here/../build/host-release/tovix-server}
[ -x "$server" ] || server=$here/../build/host/tovix-server
server=$(realpath "$server")
if [ "${TOVIX_BENCH_IN_NETNS:-}" != 1 ]; then
    export TOVIX_BENCH_IN_NETNS=1 DNS_VISIBLE_MODE=$mode DNS_VISIBLE_CSV=$csv
    exec unshare -n sh -c 'ip link set lo up && exec bash "$@"' bench "$0" "$count" "$server"
fi
mode=${DNS_VISIBLE_MODE:-sqlite}
csv_args=()
[ -z "${DNS_VISIBLE_CSV:-}" ] || csv_args=(--csv "$DNS_VISIBLE_CSV")

conditions() {
    bash "$here/machine.sh" | sed -n 's/^\(cpu\|cores\|kernel\|os\|load\)=/\1: /p' | paste -sd';'
    echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'); tovix-server: $server"
    echo "pdns_server: $(pdns_server --version 2>&1 | sed -n 's/.*\(PowerDNS Authoritative Server [^ ]*\).*/\1/p' | head -1)${PDNS_EXTRA_ARGS:+ with $PDNS_EXTRA_ARGS}"
}

if [ "$mode" = sqlite ]; then
    . "$here/../tests/support/names-test.sh"
    names_test_begin "$server"
    conditions
    echo "one node, SQLite: $count updates of home.tovix.example"
    python3 "$here/dns_visible.py" home.tovix.example tovix KoReL52 "$count" "${csv_args[@]}"
    exit 0
fi

# Two nodes on PostgreSQL.
. "$here/../tests/support/pdns.sh"
. "$here/../tests/support/accounts.sh"
. "$here/../tests/support/postgres.sh"
zone=bench.example user=bench password=b3nch-pw
work=$(mktemp -d)
pids=()
pdns_b=
cleanup() {
    local p
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    pdns_stop
    PDNS_PID=$pdns_b pdns_stop
    pg_end
    rm -rf "$work"
}
trap cleanup EXIT
pg_begin "$(mktemp -d)" 5432 || exit 1 # a folder nobody (the cluster's owner) can reach
trap cleanup EXIT
account_add "$server" "$PG_URI" "$user:$password:home.$zone"
mkdir "$work/dns-a" "$work/dns-b"
serve() { # NAME PORT
    "$server" --listen "127.0.0.1:$2" --db "$PG_URI" --zone "$zone" --no-default-account \
        --pdns-control "$work/dns-$1/pdns.controlsocket" 2>"$work/server-$1.log" &
    pids+=($!)
    for _ in $(seq 300); do
        grep -q 'listening on' "$work/server-$1.log" && return 0
        sleep 0.05
    done
    echo "dns_visible: tovix-server $1 did not start: $(cat "$work/server-$1.log")" >&2
    exit 1
}
# PowerDNS first (account add made the tables): a server's first purge,
# of its zone as its listener starts, then finds it answering.
PDNS_ADDRESS=127.0.0.2 pdns_pgsql_start "$PG_URI" "$work/dns-b" || exit 1
pdns_b=$PDNS_PID
pdns_pgsql_start "$PG_URI" "$work/dns-a" || exit 1
serve a 8081
serve b 8082
conditions
echo "two nodes, PostgreSQL: $count updates of home.$zone through A (127.0.0.1:8081)," \
    "asked at B's PowerDNS (127.0.0.2); both PowerDNS filled before each update"
python3 "$here/dns_visible.py" "home.$zone" "$user" "$password" "$count" \
    http://127.0.0.1:8081 127.0.0.2 --fill 127.0.0.1 --fill 127.0.0.2 "${csv_args[@]}"
