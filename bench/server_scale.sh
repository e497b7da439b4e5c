#!/bin/bash
# tovix-server's group commit, one command: durable updates a second and
# p50/p99 at 32 and 128 clients (wrk with load.lua, every answer "good", so
# every one waited for its transaction's sync), beside the disk's own rate of
# single-row durable SQLite commits (WAL, synchronous=FULL) measured in the
# same run, before the load and after each level, on the same file system.
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

say "disk, then ${LEVELS[*]} clients for $SECONDS_PER_LEVEL s each, the disk after each"
BENCH_OUT=$OUT unshare -n sh -c 'ip link set lo up && exec "$@"' bench-netns \
    bash "$BENCH_DIR/server_scale.sh" "$SECONDS_PER_LEVEL" --inside

python3 "$BENCH_DIR/measure.py" scale "$OUT"
