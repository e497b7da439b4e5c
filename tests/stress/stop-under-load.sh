#!/usr/bin/env bash
# tovix-server stopped with SIGTERM under load, in a private network
# namespace: CONNECTIONS keep-alive connections (tests/stress/stop_clients.py)
# update, read pages, sign in and guess while the signal comes, ROUNDS times.
#
#   tests/stress/stop-under-load.sh SERVER [CONNECTIONS [ROUNDS [SECONDS]]]
#   defaults:                              300           3       2
#
# Each round must end with exit status 0, "stopped" and no sanitizer or
# library report on stderr; every update answered good must be stored (or
# a later one of its host that went unanswered), and every host updated
# must have its last-seen time written.
set -euo pipefail
if [ "${TOVIX_IN_NETNS:-}" != 1 ]; then
    exec env TOVIX_IN_NETNS=1 unshare -n bash -c 'ip link set lo up && exec bash "$0" "$@"' \
        "$0" "$@"
fi
. "$(dirname "$0")/../support/accounts.sh"
server=$(realpath "$1")
connections=${2:-300}
rounds=${3:-3}
seconds=${4:-2}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tovix-stop.XXXXXX")
pid=
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "stop-under-load: FAIL: $*" >&2
    tail -5 "$tmp/server.err" | cut -c1-300 >&2 || true
    exit 1
}
ulimit -n "$(ulimit -Hn)"

hosts=100 zone=stop.example
list=$(for i in $(seq 0 $((hosts - 1))); do printf 'h%d.%s,' "$i" "$zone"; done)
db=$tmp/stop.db
"$server" --listen 127.0.0.1:80 --db "$db" --zone "$zone" 2>"$tmp/server.err" &
pid=$!
for _ in $(seq 200); do grep -q listening "$tmp/server.err" && break; sleep 0.05; done
kill "$pid" && wait "$pid" || fail "the first start did not stop cleanly"
account_add "$server" "$db" "stress:s3cretpw:${list%,}" || fail "cannot add the account"

for round in $(seq "$rounds"); do
    rm -f "$tmp/ready"
    "$server" --listen 127.0.0.1:80 --db "$db" --zone "$zone" \
        --log-requests "$tmp/requests.log" 2>"$tmp/server.err" &
    pid=$!
    for _ in $(seq 200); do grep -q listening "$tmp/server.err" && break; sleep 0.05; done
    grep -q listening "$tmp/server.err" || fail "round $round: the server did not start"
    python3 "$here/stop_clients.py" --connections "$connections" --user stress \
        --password s3cretpw --zone "$zone" --hosts "$hosts" --ready "$tmp/ready" \
        --out "$tmp/answers" >"$tmp/clients.out" &
    clients=$!
    for _ in $(seq 600); do [ -e "$tmp/ready" ] && break; sleep 0.1; done
    [ -e "$tmp/ready" ] || fail "round $round: the clients did not connect"
    sleep "$seconds"
    kill -TERM "$pid"
    status=0
    wait "$pid" || status=$?
    pid=
    wait "$clients" || fail "round $round: clients still waiting after the stop"
    [ "$status" -eq 0 ] || fail "round $round: exit status $status"
    grep -q 'tovix-server: stopped' "$tmp/server.err" || fail "round $round: no 'stopped'"
    if grep -E 'Sanitizer|runtime error|Fatal error|MHD_' "$tmp/server.err" >&2; then
        fail "round $round: a report on stderr"
    fi
    "$server" list --all --db "$db" >"$tmp/list" || fail "round $round: list"
    good=0
    while read -r host last unanswered; do
        [ "$last" = - ] && continue
        good=$((good + 1))
        row=$(grep -P "^\Q$host\E\t" "$tmp/list") || fail "$host is not listed"
        stored=$(cut -f3 <<<"$row")
        seen=$(cut -f10 <<<"$row")
        [ "$stored" = "$last" ] || [[ ",$unanswered," == *",$stored,"* ]] ||
            fail "round $round: $host holds $stored, its last good update was $last"
        [ "$seen" != - ] || fail "round $round: $host has no last-seen time"
    done <"$tmp/answers"
    ((good > 0)) || fail "round $round: no update was answered good"
    echo "round $round: $good hosts checked; $(cat "$tmp/clients.out")"
done
echo "stop-under-load: $rounds rounds of $connections connections stopped cleanly"
