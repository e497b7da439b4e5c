#!/bin/bash
# What counting costs tovix-server: durable updates a second at 32 clients
# (wrk with load.lua, as bench/server_scale.sh) with no metrics listener,
# and with --metrics-listen 127.0.0.1:9161 and a scraper fetching /metrics
# every second, in alternating rounds of the same run (the machine's speed
# moves while other jobs run, so each pair is measured back to back), then
# the medians of both and their ratio. The counters themselves are always
# on; what the second half adds is the listener, the rendering and the
# scrapes.
#
#   bash bench/metrics_cost.sh [SECONDS] [ROUNDS]   default 5 s, 3 rounds
#
# Needs root (a private network namespace: the server listens on port 80 of
# its own loopback) and wrk, which CI machines may lack: CI does not run it.
# Builds the host-release preset. Results stay in build/bench-metrics/
# (BENCH_OUT); the table goes to standard output.
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(dirname "$BENCH_DIR")
OUT=${BENCH_OUT:-$REPO/build/bench-metrics}
SECONDS_PER_RUN=${1:-5}
ROUNDS=${2:-3}
CLIENTS=32

if [ "${3:-}" = --inside ]; then
    HOST=$REPO/build/host-release
    sync
    for round in $(seq "$ROUNDS"); do
        for mode in plain scraped; do
            dir=$OUT/$mode-$round
            mkdir -p "$dir"
            scraper=
            args=
            if [ "$mode" = scraped ]; then
                args="--metrics-listen 127.0.0.1:9161"
                # Prometheus's own rhythm: one scrape a second.
                (
                    while :; do
                        curl -s -o /dev/null -w '%{http_code}\n' \
                            http://127.0.0.1:9161/metrics >>"$dir/scrapes.txt" || true
                        sleep 1
                    done
                ) &
                scraper=$!
            fi
            BENCH_SERVER_ARGS=$args BENCH_HOSTS=1024 bash "$BENCH_DIR/load.sh" "$dir" \
                "$HOST/tovix-server" "$SECONDS_PER_RUN" "$CLIENTS"
            if [ -n "$scraper" ]; then
                kill "$scraper"
                wait "$scraper" 2>/dev/null || true
            fi
        done
    done
    exit 0
fi

[ "$(id -u)" = 0 ] || {
    echo "bench/metrics_cost.sh needs root (a network namespace)" >&2
    exit 1
}
command -v wrk >/dev/null || {
    echo "bench/metrics_cost.sh needs wrk (apt-get install wrk)" >&2
    exit 1
}

cd "$REPO"
printf '\n== build: host-release\n' >&2
cmake --preset host-release >/dev/null
cmake --build --preset host-release --target tovix-server >/dev/null

rm -rf "$OUT"
mkdir -p "$OUT"
bash "$BENCH_DIR/machine.sh" >"$OUT/machine.txt"
printf '\n== %s rounds of %s s at %s clients, without and with a scraper\n' \
    "$ROUNDS" "$SECONDS_PER_RUN" "$CLIENTS" >&2
BENCH_OUT=$OUT unshare -n sh -c 'ip link set lo up && exec "$@"' bench-netns \
    bash "$BENCH_DIR/metrics_cost.sh" "$SECONDS_PER_RUN" "$ROUNDS" --inside

python3 - "$OUT" "$ROUNDS" <<'PY'
import pathlib, re, statistics, sys
out, rounds = pathlib.Path(sys.argv[1]), int(sys.argv[2])
print((out / "machine.txt").read_text().strip())
rates = {"plain": [], "scraped": []}
print("| round | mode    | updates/s | p50 ms | p99 ms | errors | scrapes (200) |")
print("|-------|---------|-----------|--------|--------|--------|---------------|")
for r in range(1, rounds + 1):
    for mode in ("plain", "scraped"):
        text = (out / f"{mode}-{r}" / "load.txt").read_text()
        m = dict(re.findall(r"(\w+)=(\d+)", text))
        if "requests" not in m:
            print(f"| {r} | {mode} | failed | | | | |")
            continue
        rate = (int(m["good"]) + int(m["nochg"])) / (int(m["duration_us"]) / 1e6)
        errors = sum(int(m[k]) for k in m if k.startswith("errors_")) + int(m["other"])
        scrapes = out / f"{mode}-{r}" / "scrapes.txt"
        ok = scrapes.read_text().split().count("200") if scrapes.exists() else "-"
        rates[mode].append(rate)
        print(f"| {r} | {mode:7} | {rate:9.0f} | {int(m['p50_us'])/1000:6.1f} "
              f"| {int(m['p99_us'])/1000:6.1f} | {errors:6} | {ok!s:>13} |")
if rates["plain"] and rates["scraped"]:
    a, b = statistics.median(rates["plain"]), statistics.median(rates["scraped"])
    print(f"median updates/s: without metrics {a:.0f}, with a scraper every second {b:.0f}; "
          f"ratio {b / a:.3f}")
PY
