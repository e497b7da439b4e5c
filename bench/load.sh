#!/bin/bash
# Row 5, inside a private network namespace (run.sh puts it there):
# tovix-server on 127.0.0.1:80 with one account owning 100 hosts (BENCH_HOSTS;
# at least as many as connections, so that each wrk thread has some), loaded by
# wrk at each connection count for SECONDS; then its request log and its
# stored records, for the no-lost-update check (measure.py report). The
# database is OUT/load.db, made afresh, or the empty one BENCH_DB names (a
# PostgreSQL URI, say). BENCH_PDNS=1 (SQLite only) also runs pdns_server
# (server/dns/pdns.conf) over the database, and the server purges its caches
# after each commit (--pdns-control). BENCH_LOAD_ARGS: further words for
# load.lua ("plain": myip alone, no wildcard).
#
#   load.sh OUT SERVER SECONDS CONNECTIONS...
set -euo pipefail
out=$1 server=$2 seconds=$3
shift 3
bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
hosts=${BENCH_HOSTS:-100}
user=bench password=Ld52pw
list=$(seq -f 'h%03g.bench.example' 1 "$hosts" | paste -sd,)
basic=$(printf '%s:%s' "$user" "$password" | base64 -w0)

db=${BENCH_DB:-$out/load.db}
rm -f "$out/load.db" "$out/load.requests.log" "$out/load.txt"
. "$bench_dir/../tests/support/accounts.sh"
account_add "$server" "$db" "$user:$password:$list"
pdns_args=()
if [ "${BENCH_PDNS:-}" = 1 ]; then
    . "$bench_dir/../tests/support/pdns.sh"
    pdns_start "$db" "$out" || exit 1
    pdns_args=(--pdns-control "$out/pdns.controlsocket")
fi
# BENCH_SERVER_ARGS: more options for the server (bench/metrics_cost.sh).
# shellcheck disable=SC2086
"$server" --listen 127.0.0.1:80 --db "$db" --log-requests "$out/load.requests.log" \
    --zone bench.example "${pdns_args[@]}" ${BENCH_SERVER_ARGS:-} </dev/null \
    >"$out/load.server.out" 2>&1 &
server_pid=$!
stop_pdns() { [ -z "${PDNS_PID:-}" ] || pdns_stop; }
trap 'kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true; stop_pdns' EXIT
for _ in $(seq 200); do
    grep -q listening "$out/load.server.out" && break
    sleep 0.025
done
grep -q listening "$out/load.server.out" || {
    cat "$out/load.server.out" >&2
    exit 1
}

level=0
for connections in "$@"; do
    level=$((level + 1))
    # wrk stops by itself after --duration; timeout is the backstop.
    # shellcheck disable=SC2086
    timeout $((seconds + 30)) wrk -t"$connections" -c"$connections" -d"${seconds}s" \
        --timeout 10s -s "$bench_dir/load.lua" http://127.0.0.1/ -- \
        "$level" "$connections" "$hosts" "$basic" ${BENCH_LOAD_ARGS:-} >"$out/load-$connections.wrk" 2>&1 || true
    grep '^BENCH ' "$out/load-$connections.wrk" >>"$out/load.txt" ||
        echo "BENCH-FAILED connections=$connections" >>"$out/load.txt"
    # Requests cut off when wrk stopped are still being answered: let them.
    sleep 0.5
done

kill "$server_pid"
wait "$server_pid" 2>/dev/null || true
stop_pdns
trap - EXIT
"$server" list --all --db "$db" >"$out/load.list"
