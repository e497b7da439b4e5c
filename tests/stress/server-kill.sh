#!/usr/bin/env bash
# Durability of tovix-server under SIGKILL.
#
#   tests/stress/server-kill.sh SERVER [UPDATES_PER_LOOP [LOOPS [KILLS [HOSTS]]]]
#   defaults:                           150               4      3      50
#
# Starts SERVER on a free loopback port with a temporary database and one
# account owning HOSTS host names. LOOPS parallel curl loops each send
# UPDATES_PER_LOOP updates; a loop has its own hosts, and every update gives
# its host a new address, so for each host a later update means a later
# address. While the updates stream in, the server is killed with SIGKILL
# KILLS times (each time a further share of the updates has been sent) and
# restarted on the same port and database; at the end it is killed once
# more. Then `SERVER list` must show, for every update that was answered
# "good", that update's address or a later one of the same host.
#
# Prints "N updates answered good, N found after K kills" and fails when the
# two differ, when a stored address was never sent, or when an answer other
# than "good" (or none, while the server was down) came back.
set -euo pipefail

if (($# < 1)); then
    echo "usage: $0 SERVER [UPDATES_PER_LOOP [LOOPS [KILLS [HOSTS]]]]" >&2
    exit 2
fi
. "$(dirname "$0")/../support/accounts.sh"
. "$(dirname "$0")/../support/update_stream.sh"
server=$(realpath "$1")
stream_sizes "${2:-150}" "${3:-4}" "${5:-50}" || exit 2
kills=${4:-3}
time_limit=${STRESS_TIME_LIMIT:-50} # seconds, for the whole run

tmp=$(mktemp -d)
server_pid=
STREAM_DIR=$tmp STREAM_USER=stress STREAM_PASSWORD=s3cret STREAM_ZONE=stress.example
STREAM_PIDS=()
cleanup() {
    stream_stop
    if [[ -n $server_pid ]]; then
        kill -KILL "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT

fail() {
    echo "server-kill: FAIL: $*" >&2
    if [[ -f $tmp/server.log ]]; then
        echo "--- last lines of the server's log:" >&2
        grep -v '	GET	' "$tmp/server.log" | tail -10 >&2 || true
    fi
    exit 1
}

over_time_fail() {
    fail "time limit of ${time_limit}s reached with $(stream_count sent) of $total sent"
}

db=$tmp/records.db
account_add "$server" "$db" "$STREAM_USER:$STREAM_PASSWORD:$(stream_hosts)" ||
    fail "cannot add the account"

# Starts the server on port $1 (0: a free one) and sets $server_pid and $port.
start_server() {
    local want=$1 before
    before=$(grep -c 'listening on' "$tmp/server.log" 2>/dev/null || true)
    "$server" --listen "127.0.0.1:$want" --db "$db" \
        --zone stress.example 2>>"$tmp/server.log" &
    server_pid=$!
    local started=$SECONDS
    while (($(grep -c 'listening on' "$tmp/server.log" 2>/dev/null || true) <= before)); do
        kill -0 "$server_pid" 2>/dev/null || fail "the server exited while starting"
        ((SECONDS - started < 10)) || fail "the server did not start within 10 s"
        sleep 0.01
    done
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$tmp/server.log" | tail -1)
}

: >"$tmp/server.log"
start_server 0
echo "server-kill: $server on 127.0.0.1:$port, $STREAM_LOOPS loops x $STREAM_PER_LOOP updates," \
    "$STREAM_HOSTS hosts, $kills kills"

STREAM_PORTS=$port
stream_start

total=$((STREAM_LOOPS * STREAM_PER_LOOP))
killed=0
for ((k = 1; k <= kills; k++)); do
    mark=$((total * k / (kills + 1)))
    stream_wait_sent "$mark" "$time_limit" || over_time_fail
    kill -KILL "$server_pid"
    wait "$server_pid" 2>/dev/null || true
    killed=$((killed + 1))
    sleep 0.1 # a few updates find no server
    start_server "$port"
done

stream_wait "$time_limit" || {
    (($? == 1)) && over_time_fail
    fail "an update loop failed"
}

kill -KILL "$server_pid"
wait "$server_pid" 2>/dev/null || true
server_pid=
killed=$((killed + 1))

"$server" list --all --db "$db" >"$tmp/list" 2>"$tmp/list.err" ||
    fail "tovix-server list: $(cat "$tmp/list.err")"

verdict=0
stream_verdict "$tmp/list" || verdict=1
records=$(($(wc -l <"$tmp/list") - 1))
echo "server-kill: $STREAM_SENT updates sent: $STREAM_GOOD good, $STREAM_LOST unanswered," \
    "$STREAM_OTHER other answers; $records records stored"
echo "$STREAM_GOOD updates answered good, $STREAM_FOUND found after $killed kills"
((verdict == 0)) || fail "$STREAM_FAULT"
