#!/bin/bash
# What an account change costs with many accounts, side by side with an
# empty database (10 accounts), in one run: start -> listening, RSS after
# start and over 1,000 account changes, server CPU per change, a token made
# on the command line until it works, one update's latency, durable
# updates/s at 32 clients and p99 at 128, the operator's views, and the
# update p99 while the activity of 100,000 hosts is written. The databases
# are filled in bulk (bench/accounts_scale.py says how); the figures are
# printed with the targets beside them, never asserted.
#
#   bash bench/accounts_scale.sh [--postgres] [--accounts N] [--seconds S]
#                                [--only PHASE,...]
#
#   --postgres     the same on PostgreSQL (a throw-away cluster,
#                  tests/support/postgres.sh, fsync on), two nodes sharing
#                  each database, and tokens made through the other node
#   --accounts N   the large size (default 1000000)
#   --seconds S    each wrk load level (default 5)
#   --only PHASES  just these phases (comma-separated: changes, token,
#                  latency, throughput, many, views, activity); start -> listening
#                  and RSS are always measured
#
# Needs root (a private network namespace), wrk and python3. Builds the
# host-release preset. Results stay in build/bench-accounts/ (BENCH_OUT); the
# table goes to standard output and OUT/table.txt. About 5 minutes at
# 1,000,000 accounts on SQLite once built, more on PostgreSQL.
set -euo pipefail
BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(dirname "$BENCH_DIR")
OUT=${BENCH_OUT:-$REPO/build/bench-accounts}
HOST=$REPO/build/host-release

postgres=0 accounts=1000000 seconds=5 inside=0 only=
while [ $# -gt 0 ]; do
    case $1 in
    --postgres) postgres=1 ;;
    --accounts) accounts=$2 && shift ;;
    --seconds) seconds=$2 && shift ;;
    --only) only=$2 && shift ;;
    --inside) inside=1 ;;
    *)
        sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
        exit 2
        ;;
    esac
    shift
done
sizes=10,$accounts

if [ $inside = 1 ]; then
    args=(run "$OUT" "$HOST/tovix-server" "$HOST/bench/bench_sqlite_commits" "$sizes"
        --seconds "$seconds")
    [ -z "$only" ] || args+=(--only "$only")
    if [ $postgres = 1 ]; then
        . "$REPO/tests/support/postgres.sh"
        pg_begin "$OUT/pg" 5432
        PG_BINDIR=$(pg_bindir)
        export PG_BINDIR
        args+=(--postgres "$(pg_new_database small)" "$(pg_new_database large)"
            "$(pg_new_database commits)")
    fi
    python3 "$BENCH_DIR/accounts_scale.py" "${args[@]}"
    exit 0
fi

[ "$(id -u)" = 0 ] || {
    echo "bench/accounts_scale.sh needs root (a network namespace)" >&2
    exit 1
}
for tool in wrk python3; do
    command -v $tool >/dev/null || {
        echo "bench/accounts_scale.sh needs $tool" >&2
        exit 1
    }
done
cd "$REPO"
cmake --preset host-release >/dev/null
cmake --build --preset host-release -j2 --target tovix-server bench_sqlite_commits >/dev/null
rm -rf "$OUT"
mkdir -p "$OUT"
chmod 0755 "$OUT" # PostgreSQL runs as nobody below it
bash "$BENCH_DIR/machine.sh" | tee "$OUT/machine.txt"
date -u '+date=%Y-%m-%d %H:%M UTC' | tee -a "$OUT/machine.txt"
opts=(--accounts "$accounts" --seconds "$seconds")
[ -z "$only" ] || opts+=(--only "$only")
[ $postgres = 0 ] || opts+=(--postgres)
unshare -n sh -c 'ip link set lo up && exec "$@"' bench-netns \
    bash "$BENCH_DIR/accounts_scale.sh" "${opts[@]}" --inside
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
