#!/bin/bash
# What a token costs against a cached password, and what last seen costs a
# nochg. One tovix-server (SQLite) in a private network namespace, one
# account owning 32 hosts, one token per host; wrk at 32 clients (one host
# each) for SECONDS per run, alternating: the account's password (verified
# once before, so each request costs a digest) and each host's token, twice
# each; then nochg for SECONDS with strace counting the server's syncs
# (fsync, fdatasync): last seen is written once per --activity-interval, so
# there should be none.
#
#   bash bench/tokens.sh [SECONDS]    (default 5)
#
# Needs root, wrk and strace. Builds the host-release preset. Results stay in
# build/bench-tokens/ (BENCH_OUT); the table goes to standard output.
set -euo pipefail
BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(dirname "$BENCH_DIR")
OUT=${BENCH_OUT:-$REPO/build/bench-tokens}
SECONDS_PER_RUN=${1:-5}
SERVER=$REPO/build/host-release/tovix-server

if [ "${2:-}" != --inside ]; then
    [ "$(id -u)" = 0 ] || { echo "bench/tokens.sh needs root (a network namespace)" >&2; exit 1; }
    for tool in wrk strace; do
        command -v $tool >/dev/null || { echo "bench/tokens.sh needs $tool" >&2; exit 1; }
    done
    cmake --preset host-release >/dev/null
    cmake --build --preset host-release --target tovix-server >/dev/null
    rm -rf "$OUT"
    mkdir -p "$OUT"
    exec unshare -n bash -c "ip link set lo up && exec bash '$0' '$SECONDS_PER_RUN' --inside"
fi

hosts=32 user=bench password=Ld52pw
list=$(seq -f 'h%03g.bench.example' 1 $hosts | paste -sd,)
basic=$(printf '%s:%s' $user $password | base64 -w0)
. "$REPO/tests/support/accounts.sh"
account_add "$SERVER" "$OUT/t.db" "$user:$password:$list"
for h in $(seq -f 'h%03g.bench.example' 1 $hosts); do
    token=$("$SERVER" token add "$h" --db "$OUT/t.db" 2>/dev/null)
    echo "$h $(printf '%s:%s' "$h" "$token" | base64 -w0)"
done >"$OUT/tokens.txt"
"$SERVER" --listen 127.0.0.1:80 --db "$OUT/t.db" --zone bench.example </dev/null \
    >"$OUT/server.out" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null || true' EXIT
for _ in $(seq 200); do
    grep -q listening "$OUT/server.out" && break
    sleep 0.025
done
curl -s -o /dev/null -u "$user:$password" -A Tovix \
    "http://127.0.0.1/nic/update?hostname=h001.bench.example" # the password, verified once

run() { # NAME LEVEL CREDENTIALS [same]
    timeout $((SECONDS_PER_RUN + 30)) wrk -t$hosts -c$hosts -d"${SECONDS_PER_RUN}s" --timeout 10s \
        -s "$BENCH_DIR/load.lua" http://127.0.0.1/ -- "$2" $hosts $hosts "$3" ${4:-} |
        sed -n "s/^BENCH /$1 /p" | tee -a "$OUT/runs.txt" >&2
}
level=0
for round in 1 2; do
    run password $((level += 1)) "$basic"
    run token $((level += 1)) "@$OUT/tokens.txt"
done
run warm $((level += 1)) "@$OUT/tokens.txt" same # each host's address set once
strace -f -c -e trace=fsync,fdatasync -o "$OUT/nochg.strace" -p $pid &
tracer=$!
sleep 0.5
run nochg $level "@$OUT/tokens.txt" same
kill -INT $tracer
wait $tracer 2>/dev/null || true

rate() { awk -v k="$1" '$1 == k { for (i = 2; i <= NF; ++i) { split($i, f, "=");
    v[f[1]] = f[2] } n += v["requests"]; t += v["duration_us"] } END { printf "%.0f", n / (t / 1e6) }' \
    "$OUT/runs.txt"; }
syncs=$(awk '$NF == "fsync" || $NF == "fdatasync" { n += $4 } END { print n + 0 }' "$OUT/nochg.strace")
nochg=$(awk '$1 == "nochg" { for (i = 2; i <= NF; ++i) if ($i ~ /^requests=/) print substr($i, 10) }' \
    "$OUT/runs.txt")
printf '| 32 clients, SQLite | updates/s |\n|---|---|\n'
printf '| account password (verified before) | %s |\n| host token | %s |\n' \
    "$(rate password)" "$(rate token)"
printf '\nnochg with last seen: %s requests in %s s, %s syncs (fsync + fdatasync)\n' \
    "$nochg" "$SECONDS_PER_RUN" "$syncs"
