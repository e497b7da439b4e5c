# Helpers shared by the end-to-end scripts.
failures=0
work=$(mktemp -d)
server_pid=

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

pass() { echo "ok: $*"; }

. "$(dirname "${BASH_SOURCE[0]}")/../support/accounts.sh"

# Starts tovix-server on 127.0.0.1:80 with a fresh request log; each
# --account USER:PASSWORD:HOSTS is written to the database first, other
# arguments go to the server.
start_server() {
    : > "$work/requests.log"
    split_accounts "$server" "$work/records.db" "$@" || fail "cannot add an account"
    "$server" --db "$work/records.db" --log-requests "$work/requests.log" "${SERVER_OPTIONS[@]}" \
        2> "$work/server.err" &
    server_pid=$!
    for _ in $(seq 200); do
        grep -q listening "$work/server.err" 2>/dev/null && return 0
        sleep 0.05
    done
    fail "tovix-server did not start: $(cat "$work/server.err")"
    return 1
}

stop_server() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
        server_pid=
    fi
}

finish() {
    stop_server
    rm -rf "$work"
    if [ "$failures" -gt 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "all checks passed"
}
trap finish EXIT

# Field N (1-based) of request line L of the request log.
request_field() { sed -n "${1}p" "$work/requests.log" | cut -f "$2"; }
request_count() { grep -c . "$work/requests.log" || true; }
