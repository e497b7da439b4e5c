# A test of tovix-server and PowerDNS together, run inside a private network
# namespace (tests/support/netns-run.sh). Source it from bash; see
# names_test_begin.
. "$(dirname "${BASH_SOURCE[0]}")/pdns.sh"
. "$(dirname "${BASH_SOURCE[0]}")/accounts.sh"

# names_test_begin SERVER [--account USER:PASSWORD:HOSTS]... [tovix-server
# options...]: the accounts written to the database first; a scratch directory
# ($work), tovix-server on 127.0.0.1:80 (database $work/names.db, request log
# $work/requests.log, purging through $work/pdns.controlsocket) and
# pdns_server over the same file; both stopped and the directory removed on
# exit. Exits 1 if either does not start.
failures=0
work=
names_server_pid=

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# check_dns NAME TYPE EXPECTED: fails unless DNS comes to answer EXPECTED.
check_dns() {
    local seen
    seen=$(dns_wait "$1" "$2" "$3") || fail "$1 $2 is '$seen', expected '$3'"
}

names_test_end() {
    if [ -n "$names_server_pid" ]; then
        kill "$names_server_pid" 2>/dev/null
        wait "$names_server_pid" 2>/dev/null || true
        names_server_pid=
    fi
    pdns_stop
    if [ -n "$work" ]; then
        rm -rf "$work"
    fi
}

# summary: the last line of a test, and its exit status.
summary() {
    if [ "$failures" -gt 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "all checks passed"
}

names_test_begin() {
    local server=$1
    shift
    work=$(mktemp -d "${TMPDIR:-/tmp}/tovix-names.XXXXXX")
    trap names_test_end EXIT
    split_accounts "$server" "$work/names.db" "$@" || exit 1
    "$server" --db "$work/names.db" --log-requests "$work/requests.log" "${SERVER_OPTIONS[@]}" \
        --pdns-control "$work/pdns.controlsocket" 2>"$work/server.err" &
    names_server_pid=$!
    for _ in $(seq 200); do
        grep -q listening "$work/server.err" 2>/dev/null && break
        sleep 0.05
    done
    grep -q listening "$work/server.err" || {
        echo "tovix-server did not start: $(cat "$work/server.err")"
        exit 1
    }
    pdns_start "$work/names.db" "$work" || exit 1
}
