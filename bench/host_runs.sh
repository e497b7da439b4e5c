#!/bin/bash
# Row 1, inside a private network namespace (run.sh puts it there):
# tovix-server on 127.0.0.1:80, then `tovix -Slient` and curl doing the same
# authenticated GET, alternately, RUNS times each.
#
#   host_runs.sh OUT RUNS TOVIX SERVER     (BENCH_MEASURE: measure.py)
set -euo pipefail
out=$1 runs=$2 tovix=$3 server=$4
url='http://127.0.0.1/dyndns/update?system=dyndns&hostname=home.tovix.example&wildcard=ON&mx=home.tovix.example&backmx=YES'

rm -f "$out/host.db" "$out/host.requests.log"
"$server" --listen 127.0.0.1:80 --db "$out/host.db" --log-requests "$out/host.requests.log" \
    </dev/null >"$out/host.server.out" 2>&1 &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true' EXIT
for _ in $(seq 200); do
    grep -q listening "$out/host.server.out" && break
    sleep 0.025
done
grep -q listening "$out/host.server.out" || {
    cat "$out/host.server.out" >&2
    exit 1
}

# No dial-up entries: the run is the update alone.
export TOVIX_PHONEBOOK=/nonexistent
python3 "$BENCH_MEASURE" alternate "$out/host_runs.tsv" "$runs" \
    tovix "$tovix -Slient" curl "curl -s -u tovix:KoReL52 -A Tovix $url"
