#!/bin/bash
# What waiting for PowerDNS's purge costs the updates: durable updates a
# second at 32 clients (wrk with load.lua over 1024 hosts, every answer
# "good"), with pdns_server over the SQLite file and --pdns-control (load.sh
# with BENCH_PDNS=1), for two builds of tovix-server in alternating rounds of
# the same run: the working tree's (host-release) and that of another commit
# (REV, default main), built from `git archive REV` in build/bench-purge/
# (no worktree, nothing checked out). Both get the same options, the same
# PowerDNS and the same load; only the server's code differs, so the ratio
# is what that code costs (the machine's speed moves while other jobs run,
# so each pair is measured back to back and the medians are compared).
#
#   bash bench/purge_wait_cost.sh [--base REV | --base-server PATH] [--base-args ARGS]
#                                 [--plain] [SECONDS] [ROUNDS]
#   defaults: main, 5 s, 3 rounds
#
# --base-server takes a tovix-server built elsewhere instead (a variant of
# the working tree, say, that differs in one respect only). --base-args gives
# the base's server more options: with --base-server
# build/host-release/tovix-server and --base-args "--purge-wait 0" both arms
# run the working tree's build, the base answering without waiting for the
# purge.
#
# The load is bench/server_scale.sh's (wildcard=ON, mx and backmx in every
# update); --plain sends myip alone, so the hosts have no wildcard.
#
# Needs root (a private network namespace: the server listens on port 80 of
# its own loopback), wrk and PowerDNS with its SQLite backend. Results stay in
# build/bench-purge/ (BENCH_OUT); the table goes to standard output.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(dirname "$BENCH_DIR")
OUT=${BENCH_OUT:-$REPO/build/bench-purge}
base_rev=main base_server='' base_args='' plain=''
while [ $# -gt 0 ]; do
    case $1 in
    --base) base_rev=$2; shift 2 ;;
    --base-server) base_server=$(realpath "$2"); shift 2 ;;
    --base-args) base_args=$2; shift 2 ;;
    --plain) plain=--plain; shift ;;
    *) break ;;
    esac
done
SECONDS_PER_RUN=${1:-5}
ROUNDS=${2:-3}
CLIENTS=32

if [ "${3:-}" = --inside ]; then
    sync
    for round in $(seq "$ROUNDS"); do
        for arm in base tree; do
            dir=$OUT/$arm-$round
            mkdir -p "$dir"
            args=
            [ "$arm" = tree ] || args=${BENCH_BASE_ARGS:-}
            BENCH_SERVER_ARGS=$args BENCH_LOAD_ARGS=${plain:+plain} BENCH_PDNS=1 BENCH_HOSTS=1024 \
                bash "$BENCH_DIR/load.sh" "$dir" "$OUT/$arm-server" \
                "$SECONDS_PER_RUN" "$CLIENTS"
        done
    done
    exit 0
fi

[ "$(id -u)" = 0 ] || {
    echo "bench/purge_wait_cost.sh needs root (a network namespace)" >&2
    exit 1
}
for tool in wrk pdns_server; do
    command -v "$tool" >/dev/null || {
        echo "bench/purge_wait_cost.sh needs $tool" >&2
        exit 1
    }
done

cd "$REPO"
printf '\n== build: host-release (working tree)\n' >&2
cmake --preset host-release >/dev/null
cmake --build --preset host-release --target tovix-server -j2 >/dev/null
if [ -z "$base_server" ]; then
    base_sha=$(git rev-parse --verify "$base_rev^{commit}")
    printf '\n== build: %s (%s)\n' "$base_rev" "${base_sha:0:12}" >&2
    src=$REPO/build/bench-purge-src/$base_sha
    if [ ! -x "$src/build/host-release/tovix-server" ]; then
        rm -rf "$src"
        mkdir -p "$src"
        git archive "$base_sha" | tar -x -C "$src"
        (cd "$src" && cmake --preset host-release >/dev/null &&
            cmake --build --preset host-release --target tovix-server -j2 >/dev/null)
    fi
    base_server=$src/build/host-release/tovix-server
    base_what="$base_rev ${base_sha:0:12}"
else
    base_what=$base_server
fi
[ -z "$base_args" ] || base_what="$base_what with $base_args"

rm -rf "$OUT"
mkdir -p "$OUT"
cp "$REPO/build/host-release/tovix-server" "$OUT/tree-server"
cp "$base_server" "$OUT/base-server"
bash "$BENCH_DIR/machine.sh" >"$OUT/machine.txt"
{
    echo "tree=$(git describe --always --dirty)"
    echo "base=$base_what"
    if [ -n "$plain" ]; then
        echo "load=myip alone (no wildcard)"
    else
        echo "load=wildcard=ON, mx, backmx (as bench/server_scale.sh)"
    fi
} >"$OUT/builds.txt"
printf '\n== %s rounds of %s s at %s clients: base, then working tree\n' \
    "$ROUNDS" "$SECONDS_PER_RUN" "$CLIENTS" >&2
BENCH_OUT=$OUT BENCH_BASE_ARGS=$base_args unshare -n sh -c 'ip link set lo up && exec "$@"' bench-netns \
    bash "$BENCH_DIR/purge_wait_cost.sh" $plain "$SECONDS_PER_RUN" "$ROUNDS" --inside

python3 - "$OUT" "$ROUNDS" <<'PY'
import pathlib, re, statistics, sys
out, rounds = pathlib.Path(sys.argv[1]), int(sys.argv[2])
print((out / "machine.txt").read_text().strip())
print((out / "builds.txt").read_text().strip())
rates = {"base": [], "tree": []}
print("| round | build | updates/s | p50 ms | p99 ms | errors |")
print("|-------|-------|-----------|--------|--------|--------|")
for r in range(1, rounds + 1):
    for arm in ("base", "tree"):
        text = (out / f"{arm}-{r}" / "load.txt").read_text()
        m = dict(re.findall(r"(\w+)=(\d+)", text))
        if "requests" not in m:
            print(f"| {r} | {arm} | failed | | | |")
            continue
        rate = (int(m["good"]) + int(m["nochg"])) / (int(m["duration_us"]) / 1e6)
        errors = sum(int(m[k]) for k in m if k.startswith("errors_")) + int(m["other"])
        rates[arm].append(rate)
        print(f"| {r} | {arm:5} | {rate:9.0f} | {int(m['p50_us'])/1000:6.1f} "
              f"| {int(m['p99_us'])/1000:6.1f} | {errors:6} |")
if rates["base"] and rates["tree"]:
    a, b = statistics.median(rates["base"]), statistics.median(rates["tree"])
    print(f"median durable updates/s: base {a:.0f}, working tree {b:.0f}; ratio {b / a:.3f}")
PY
