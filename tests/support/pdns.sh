# Helpers for tests that run PowerDNS over a tovix-server database, inside a
# private network namespace (tests/support/netns-run.sh): pdns_server on
# 127.0.0.1:53 with the repository's server/dns/pdns.conf, and dig.
# Source it from bash; it defines functions and PDNS_PID only.

PDNS_CONFIG_DIR=${PDNS_CONFIG_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../../server/dns" && pwd)}
PDNS_PID=

# pdns_start DB DIR: serves DB on 127.0.0.1:53 with the command line others
# use, the control socket and the log (pdns.log) in DIR, and any further
# settings in PDNS_EXTRA_ARGS (words). Returns once it answers queries; 1 if
# it does not within 10 s.
pdns_start() {
    local db=$1 dir=$2
    # shellcheck disable=SC2086
    pdns_server --config-dir="$PDNS_CONFIG_DIR" --gsqlite3-database="$db" \
        --local-address=127.0.0.1 --local-port=53 --socket-dir="$dir" ${PDNS_EXTRA_ARGS:-} \
        </dev/null >"$dir/pdns.log" 2>&1 &
    PDNS_PID=$!
    for _ in $(seq 200); do
        # Any answer at all (REFUSED for the root) means it is serving.
        dig +time=1 +tries=1 @127.0.0.1 . SOA >/dev/null 2>&1 && return 0
        kill -0 "$PDNS_PID" 2>/dev/null || break
        sleep 0.05
    done
    echo "pdns_server did not start:" >&2
    cat "$dir/pdns.log" >&2
    return 1
}

pdns_stop() {
    if [ -n "$PDNS_PID" ]; then
        kill "$PDNS_PID" 2>/dev/null
        wait "$PDNS_PID" 2>/dev/null || true
        PDNS_PID=
    fi
}

# dns NAME TYPE: what DNS answers, in one line: the answer records' data,
# sorted and space-separated; NODATA for a name without records of TYPE;
# otherwise the status (NXDOMAIN, REFUSED, ...); NOANSWER when none came.
dns() {
    local out status
    out=$(dig +time=1 +tries=2 +norecurse @127.0.0.1 "$1" "$2" 2>/dev/null) || {
        echo NOANSWER
        return
    }
    status=$(sed -n 's/.*status: \([A-Z]*\),.*/\1/p' <<<"$out")
    if [ "$status" != NOERROR ]; then
        echo "$status"
        return
    fi
    out=$(dig +short +time=1 +tries=2 @127.0.0.1 "$1" "$2" 2>/dev/null | sort | paste -sd' ')
    echo "${out:-NODATA}"
}

# dns_wait NAME TYPE EXPECTED [SECONDS]: polls until DNS answers EXPECTED
# (the form dns prints), for at most SECONDS (default 5); prints the last
# answer and returns 1 if it never did.
dns_wait() {
    local name=$1 type=$2 want=$3 seconds=${4:-5} got
    local end=$((SECONDS + seconds))
    while :; do
        got=$(dns "$name" "$type")
        [ "$got" = "$want" ] && return 0
        [ $SECONDS -ge $end ] && break
        sleep 0.02
    done
    echo "$got"
    return 1
}
