#!/usr/bin/env bash
# DNS at cache speed, and still visible at once, measured in one run inside a
# private network namespace. Needs root, dnsperf, PowerDNS with both
# backends, PostgreSQL, and a build of tovix-server (host-release if there).
#
#   bash bench/dns_qps.sh [SECONDS [UPDATES [PATH/TO/tovix-server]]]
#   defaults: 10 s of dnsperf per configuration, 300 updates per latency row
#
# 1. Queries/s: dnsperf (8 clients, SECONDS each) asks for the A records of
#    200 hosts of one zone, round after round, from PowerDNS over
#    tovix-server's SQLite file, while one host is updated 20 times a second
#    (each update purges its names): PowerDNS as shipped before the caches
#    (every cache off, 1 receiver, 1 distributor, no DNSSEC lookups), the
#    same caches off with today's threads, and server/dns/pdns.conf as it is
#    (caches on, purged by tovix-server through the control socket).
# 2. Update -> answered by PowerDNS (bench/dns_visible.py, UPDATES updates,
#    each a new address, the old one in PowerDNS's cache): on SQLite; and on
#    PostgreSQL with two nodes, the update through node A and node B's own
#    PowerDNS polled (the purge travels by NOTIFY).
# Prints the machine (bench/machine.sh), the date and both tables.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
seconds=${1:-10}
updates=${2:-300}
server=${3:-$here/../build/host-release/tovix-server}
[ -x "$server" ] || server=$here/../build/host/tovix-server
server=$(realpath "$server")
if [ "${TOVIX_BENCH_IN_NETNS:-}" != 1 ]; then
    export TOVIX_BENCH_IN_NETNS=1
    exec unshare -n sh -c 'ip link set lo up && exec bash "$@"' bench "$0" "$seconds" "$updates" \
        "$server"
fi
for tool in dnsperf pdns_server curl python3; do
    command -v "$tool" >/dev/null || {
        echo "dns_qps: $tool is not installed (scripts/install-deps.sh)" >&2
        exit 1
    }
done
. "$here/../tests/support/pdns.sh"
. "$here/../tests/support/accounts.sh"
. "$here/../tests/support/postgres.sh"

zone=bench.example user=bench password=b3nch-pw
work=$(mktemp -d)
pids=()
cleanup() {
    local p
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null || true
        wait "$p" 2>/dev/null || true
    done
    pdns_stop
    rm -rf "$work"
}
trap cleanup EXIT

hosts=()
for ((h = 0; h < 200; h++)); do hosts+=("h$h.$zone"); done
all_hosts=$(IFS=,; echo "${hosts[*]}"),home.$zone
printf '%s A\n' "${hosts[@]}" >"$work/queries"

# serve NAME PORT DB SOCKET: tovix-server on 127.0.0.1:PORT; waits until it listens.
serve() {
    "$server" --listen "127.0.0.1:$2" --db "$3" --zone "$zone" --no-default-account \
        --pdns-control "$4" 2>"$work/server-$1.log" &
    pids+=($!)
    for _ in $(seq 300); do
        grep -q 'listening on' "$work/server-$1.log" && return 0
        sleep 0.05
    done
    echo "dns_qps: tovix-server $1 did not start: $(cat "$work/server-$1.log")" >&2
    exit 1
}

update() { # PORT QUERY
    curl -s -m 10 -u "$user:$password" "http://127.0.0.1:$1/nic/update?$2"
}

# The SQLite database: 200 hosts with an address each.
account_add "$server" "$work/bench.db" "$user:$password:$all_hosts"
serve sqlite 80 "$work/bench.db" "$work/pdns.controlsocket"
for ((h = 0; h < 200; h += 20)); do
    names=$(IFS=,; echo "${hosts[*]:h:20}")
    update 80 "hostname=$names&myip=10.9.$((h / 256)).$((h % 256 + 1))" >/dev/null
done

# qps LABEL PDNS-SETTINGS...: one dnsperf run against a fresh PowerDNS, with
# home.ZONE updated 20 times a second meanwhile.
rows=()
qps() {
    local label=$1 out
    shift
    PDNS_EXTRA_ARGS="$*" pdns_start "$work/bench.db" "$work" || exit 1
    (
        n=0
        while :; do
            n=$((n + 1))
            update 80 "hostname=home.$zone&myip=10.8.$((n / 250 % 250)).$((n % 250 + 1))" >/dev/null
            sleep 0.05
        done
    ) &
    local updater=$!
    out=$(dnsperf -s 127.0.0.1 -d "$work/queries" -c 8 -l "$seconds" 2>&1)
    kill "$updater"
    wait "$updater" 2>/dev/null || true
    pdns_stop
    local q lat lost
    q=$(sed -n 's/^ *Queries per second: *\([0-9.]*\).*/\1/p' <<<"$out")
    lat=$(sed -n 's/^ *Average Latency (s): *\([0-9.]*\).*/\1/p' <<<"$out")
    lost=$(sed -n 's/^ *Queries lost: *\([0-9]*\).*/\1/p' <<<"$out")
    [ -n "$q" ] || {
        echo "dns_qps: no figures from dnsperf: $out" >&2
        exit 1
    }
    rows+=("$(printf '| %-58s | %12s | %10s | %6s |' "$label" \
        "$(printf '%.0f' "$q")" "$(awk -v l="$lat" 'BEGIN { printf "%.2f ms", l * 1000 }')" "$lost")")
    qps_of[$label]=$q
}
declare -A qps_of=()
before="as shipped before: caches off, 1 receiver, 1 distributor"
qps "$before" --cache-ttl=0 --query-cache-ttl=0 --negquery-cache-ttl=0 --receiver-threads=1 \
    --distributor-threads=1 --reuseport=no --gsqlite3-dnssec=no
qps "caches off, threads of server/dns/pdns.conf" --cache-ttl=0 --query-cache-ttl=0 \
    --negquery-cache-ttl=0
now="server/dns/pdns.conf: caches on, purged on commit"
qps "$now"

# Update -> answered, SQLite.
pdns_start "$work/bench.db" "$work" || exit 1
visible_sqlite=$(python3 "$here/dns_visible.py" "home.$zone" "$user" "$password" "$updates")
pdns_stop

# Update -> answered across two PostgreSQL nodes.
pg_begin "$(mktemp -d)" 5432 || exit 1 # a folder nobody (the cluster's owner) can reach
account_add "$server" "$PG_URI" "$user:$password:$all_hosts"
mkdir "$work/dns-a" "$work/dns-b"
serve a 8081 "$PG_URI" "$work/dns-a/pdns.controlsocket"
serve b 8082 "$PG_URI" "$work/dns-b/pdns.controlsocket"
PDNS_ADDRESS=127.0.0.2 pdns_pgsql_start "$PG_URI" "$work/dns-b" || exit 1
pids+=("$PDNS_PID")
PDNS_PID=
update 8081 "hostname=home.$zone&myip=10.7.0.1" >/dev/null
visible_pg=$(python3 "$here/dns_visible.py" "home.$zone" "$user" "$password" "$updates" \
    http://127.0.0.1:8081 127.0.0.2)

bash "$here/machine.sh" | sed -n 's/^\(cpu\|cores\|kernel\|os\|load\)=/\1: /p' | paste -sd';'
echo "date: $(date -u '+%Y-%m-%d %H:%M UTC'); tovix-server: $server"
echo
echo "dnsperf, 8 clients, $seconds s, A records of 200 hosts; one host updated 20/s meanwhile"
printf '| %-58s | %12s | %10s | %6s |\n' "PowerDNS over the SQLite file" "queries/s" "mean" "lost"
printf '|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..60})" "$(printf -- '-%.0s' {1..14})" \
    "$(printf -- '-%.0s' {1..12})" "$(printf -- '-%.0s' {1..8})"
printf '%s\n' "${rows[@]}"
awk -v a="${qps_of[$now]}" -v b="${qps_of[$before]}" \
    'BEGIN { printf "caches and purge / as shipped before: %.1fx\n", a / b }'
echo
echo "update -> answered by PowerDNS (the old answer cached), $updates updates"
table_row() { # LABEL OUTPUT-OF-dns_visible.py
    sed -n 's/^good -> visible in DNS: n=\([0-9]*\) median \([0-9.]*\) ms, p90 \([0-9.]*\) ms, p99 \([0-9.]*\) ms, max \([0-9.]*\) ms/\2 \3 \4 \5/p' <<<"$2" |
        { read -r med p90 p99 max; printf '| %-44s | %8s | %8s | %8s | %8s |\n' "$1" "$med" "$p90" "$p99" "$max"; }
}
printf '| %-44s | %8s | %8s | %8s | %8s |\n' "database" "median" "p90" "p99" "max"
printf '|%s|%s|%s|%s|%s|\n' "$(printf -- '-%.0s' {1..46})" "$(printf -- '-%.0s' {1..10})" \
    "$(printf -- '-%.0s' {1..10})" "$(printf -- '-%.0s' {1..10})" "$(printf -- '-%.0s' {1..10})"
table_row "SQLite, one node (ms)" "$visible_sqlite"
table_row "PostgreSQL, update via A, B's PowerDNS (ms)" "$visible_pg"
echo
echo "SQLite: $(grep '^DNS queries' <<<"$visible_sqlite")"
echo "PostgreSQL: $(grep '^DNS queries' <<<"$visible_pg")"
