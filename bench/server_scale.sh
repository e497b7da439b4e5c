#!/bin/bash
# tovix-server's group commit, one command: durable updates a second and
# p50/p99 at 32 and 128 clients (wrk with load.lua, every answer "good", so
# every one waited for its transaction's sync), beside the disk's own rate of
# single-row durable SQLite commits (WAL, synchronous=FULL) measured in the
# same run, before the load and after each level, on the same file system;
# then the same load on PostgreSQL (a throw-away cluster on that file system,
# fsync on, tests/support/postgres.sh), with the same no-lost-update check,
# beside PostgreSQL's own rate of single-row durable commits (pgbench).
#
#   bash bench/server_scale.sh [SECONDS]    SECONDS per load level (default 5)
#
# Needs root (a private network namespace: the server listens on port 80 of
# its own loopback) and wrk. Builds the host-release preset. Results stay in
# build/bench-scale/ (BENCH_OUT); the table goes to standard output.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(dirname "$BENCH_DIR")
OUT=${BENCH_OUT:-$REPO/build/bench-scale}
SECONDS_PER_LEVEL=${1:-5}
SQLITE_SECONDS=3
LEVELS=(32 128)

say() { printf '\n== %s\n' "$*" >&2; }

if [ "${2:-}" = --inside ]; then
    # In the namespace: the disk, then each level with the disk again after
    # it (the disk's rate moves while other jobs write).
    HOST=$REPO/build/host-release
    disk() {
        "$HOST/bench/bench_sqlite_commits" "$OUT/commits.db" "$SQLITE_SECONDS" >>"$OUT/sqlite.txt"
        rm -f "$OUT"/commits.db*
    }
    sync # what the build left to write back would slow the first figure down
    disk
    for clients in "${LEVELS[@]}"; do
        mkdir -p "$OUT/c$clients"
        BENCH_HOSTS=1024 bash "$BENCH_DIR/load.sh" "$OUT/c$clients" "$HOST/tovix-server" \
            "$SECONDS_PER_LEVEL" "$clients"
        disk
    done
    # The same load on PostgreSQL: one throw-away cluster on the same file
    # system (fsync on), a fresh database for each level.
    . "$REPO/tests/support/postgres.sh"
    pg_status=0
    pg_begin "$OUT/pg" 5432 2>"$OUT/pg-failed.txt" || pg_status=$?
    if [ "$pg_status" != 0 ]; then
        cat "$OUT/pg-failed.txt" >&2 # measure.py says so under the table
        exit 0
    fi
    rm -f "$OUT/pg-failed.txt"
    for clients in "${LEVELS[@]}"; do
        mkdir -p "$OUT/pg$clients"
        BENCH_DB=$(pg_new_database "bench$clients") BENCH_HOSTS=1024 \
            bash "$BENCH_DIR/load.sh" "$OUT/pg$clients" "$HOST/tovix-server" \
            "$SECONDS_PER_LEVEL" "$clients"
    done
    # PostgreSQL's own rate of single-row durable commits on this cluster
    # (pgbench: one INSERT per transaction), at 1 client and at 32.
    uri=$(pg_new_database commits)
    psql -X -q -v ON_ERROR_STOP=1 "$uri" -c 'CREATE TABLE t (id serial PRIMARY KEY, v int)'
    echo 'INSERT INTO t (v) VALUES (1);' >"$OUT/pg-insert.sql"
    for clients in 1 32; do
        tps=$("$(pg_bindir)/pgbench" -n -f "$OUT/pg-insert.sql" -c "$clients" -j "$clients" \
            -T "$SQLITE_SECONDS" "$uri" 2>&1 | sed -n 's/^tps = \([0-9.]*\).*/\1/p')
        echo "PGBENCH clients=$clients tps=${tps:-0}" >>"$OUT/pg-commits.txt"
    done
    pg_end
    exit 0
fi

[ "$(id -u)" = 0 ] || {
    echo "bench/server_scale.sh needs root (a network namespace)" >&2
    exit 1
}
command -v wrk >/dev/null || {
    echo "bench/server_scale.sh needs wrk (apt-get install wrk)" >&2
    exit 1
}

cd "$REPO"
say "build: host-release"
cmake --preset host-release >/dev/null
cmake --build --preset host-release --target tovix-server bench_sqlite_commits >/dev/null

rm -rf "$OUT"
mkdir -p "$OUT"
bash "$BENCH_DIR/machine.sh" >"$OUT/machine.txt"

say "disk, then ${LEVELS[*]} clients for $SECONDS_PER_LEVEL s each, the disk after each; then PostgreSQL"
BENCH_OUT=$OUT unshare -n sh -c 'ip link set lo up && exec "$@"' bench-netns \
    bash "$BENCH_DIR/server_scale.sh" "$SECONDS_PER_LEVEL" --inside

python3 "$BENCH_DIR/measure.py" scale "$OUT"
