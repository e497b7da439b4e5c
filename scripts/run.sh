#!/usr/bin/env bash
# The main job on the embedded default, end to end: builds tovix and
# tovix-server, starts the server on 127.0.0.1:80 and PowerDNS on
# 127.0.0.1:53 over the same database, inside a private network namespace
# (so nothing else on the machine is touched), runs a silent update, shows
# the host the server now holds, what DNS answers for the default host
# name and where the web page is with the account to sign in with, and, on
# a terminal, runs the interactive mode too. Run as root.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh >/dev/null
cmake --preset host-release >/dev/null
cmake --build --preset host-release --target tovix tovix-server >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
interactive=0
[ -t 0 ] && [ -t 1 ] && interactive=1

exec unshare -n -- bash -c '
    set -euo pipefail
    ip link set lo up
    bin=build/host-release
    "$bin/tovix-server" --db "$1/records.db" --pdns-control "$1/pdns.controlsocket" \
        2>"$1/server.log" &
    server=$!
    for _ in $(seq 100); do
        grep -q "listening" "$1/server.log" 2>/dev/null && break
        sleep 0.05
    done
    pdns_server --config-dir=server/dns --gsqlite3-database="$1/records.db" \
        --local-address=127.0.0.1 --local-port=53 --socket-dir="$1" </dev/null >"$1/pdns.log" 2>&1 &
    pdns=$!
    trap "kill $server $pdns 2>/dev/null; wait $server $pdns 2>/dev/null || true" EXIT
    for _ in $(seq 100); do
        dig +time=1 +tries=1 @127.0.0.1 . SOA >/dev/null 2>&1 && break
        sleep 0.05
    done
    echo "== tovix -Slient (silent: no window)"
    "$bin/tovix" -Slient
    echo "exit status $?"
    echo "== the host tovix-server holds"
    "$bin/tovix-server" list --db "$1/records.db"
    echo "== what DNS answers: dig @127.0.0.1 home.tovix.example (PowerDNS)"
    dig +noall +answer @127.0.0.1 home.tovix.example A
    echo "== the web page: http://127.0.0.1/ (inside this run'"'"'s network namespace)"
    echo "   sign in as account tovix, password KoReL52; it answers:"
    curl -s -o /dev/null -w "   GET /signin: %{http_code}\n" http://127.0.0.1/signin
    if [ "$2" = 1 ]; then
        echo "== tovix (interactive; the window closes by itself after a success)"
        sleep 1
        "$bin/tovix"
        echo "exit status $?"
        "$bin/tovix-server" list --db "$1/records.db"
    fi
' run "$work" "$interactive"
