#!/usr/bin/env bash
# Two tovix-server processes and PowerDNS on one PostgreSQL database.
#
#   sh tests/support/netns-run.sh bash tests/server/multinode_test.sh SERVER \
#       [UPDATES_PER_LOOP [LOOPS [KILLS [HOSTS [RACE_ROUNDS]]]]]
#   defaults:  300  6  3  60  100   (about 75 s with the ASan build on the
#                                    2-core development VM)
#   ctest's server.multinode runs 40 4 1 16 20 (about 15 s).
#
# Needs root inside a private network namespace (netns-run.sh): a throw-away
# PostgreSQL cluster (tests/support/postgres.sh) on 127.0.0.1:5432, servers A
# and B on 127.0.0.1:8081 and :8082 with --db on it and the zone
# multinode.example, one account owning HOSTS hosts (added through SERVER
# with the same --db), and pdns_server --launch=gpgsql on 127.0.0.1:53 over
# the same database; a second pdns_server on 127.0.0.2:53 is node B's.
# Both PowerDNS keep their caches for 10 minutes: each server purges its own
# (--pdns-control), and every change made through the other server or the
# command line reaches it through PostgreSQL's NOTIFY alone.
#
# 1. LOOPS parallel curl loops send UPDATES_PER_LOOP updates each, every one
#    a new address for its host, alternately to A and B; meanwhile A is
#    killed with SIGKILL KILLS times (each time a further share of the
#    updates has been sent) and restarted. Then, for every update answered
#    "good", `SERVER list --db URI` holds its address or a later one of the
#    same host, DNS answers each host's stored address, and pdnsutil's
#    check-all-zones and test-schema pass.
# 2. RACE_ROUNDS times, A and B get the same new address for one host at the
#    same moment: one answers good, the other nochg; afterwards the host has
#    exactly one A record, the last address, and the zone's SOA serial (as
#    DNS answers it) went up by exactly RACE_ROUNDS.
# 3. Node to node: a change through one server (or a host withdrawn with
#    `account hosts`, or a follower moved by its router's prefix) is
#    answered at once by the other node's PowerDNS, which had cached the old
#    answer.
#
# The whole run must end within MULTINODE_TIME_LIMIT seconds (default: 30,
# plus a second for every 20 updates and for every 2 race rounds).
#
# Prints one summary line; fails on any lost update, on an answer other than
# good (or none, while A was down) in the stream, and on any race fault.
# Exits 77 when PostgreSQL or PowerDNS with its PostgreSQL backend is not
# installed.
set -euo pipefail

if (($# < 1)); then
    echo "usage: $0 SERVER [UPDATES_PER_LOOP [LOOPS [KILLS [HOSTS [RACE_ROUNDS]]]]]" >&2
    exit 2
fi
support=$(cd "$(dirname "$0")/../support" && pwd)
. "$support/accounts.sh"
. "$support/pdns.sh"
. "$support/postgres.sh"
. "$support/update_stream.sh"
server=$(realpath "$1")
stream_sizes "${2:-300}" "${3:-6}" "${5:-60}" || exit 2
kills=${4:-3}
rounds=${6:-100}
((rounds <= 65025)) || {
    echo "$0: at most 65025 race rounds" >&2
    exit 2
}
time_limit=${MULTINODE_TIME_LIMIT:-$((30 + STREAM_LOOPS * STREAM_PER_LOOP / 20 + rounds / 2))} # seconds

for tool in dig curl; do
    command -v "$tool" >/dev/null || {
        echo "multinode: $tool is not installed" >&2
        exit 1
    }
done
missing=
for tool in pdns_server pdnsutil; do
    command -v "$tool" >/dev/null || missing+=" $tool"
done
compgen -G '/usr/lib/*/pdns/libgpgsqlbackend.so' >/dev/null || missing+=" pdns-backend-pgsql"
if [[ -n $missing ]]; then
    echo "multinode: PowerDNS is not installed:$missing; skipping" >&2
    exit 77
fi

zone=multinode.example
race_host=race.$zone
port_a=8081 port_b=8082
tmp=$(mktemp -d)
STREAM_DIR=$tmp/stream STREAM_USER=multi STREAM_PASSWORD=m0re:nodes STREAM_ZONE=$zone
STREAM_PORTS="$port_a $port_b"
STREAM_PIDS=()
mkdir "$STREAM_DIR" "$tmp/dns-a" "$tmp/dns-b"
# Caches that outlast the test: only a purge changes what they answer.
PDNS_EXTRA_ARGS="--cache-ttl=600 --query-cache-ttl=600 --negquery-cache-ttl=600"
pdns_b_pid=
declare -A pid_of=()
cleanup() {
    stream_stop
    local name
    for name in "${!pid_of[@]}"; do
        kill -KILL "${pid_of[$name]}" 2>/dev/null || true
        wait "${pid_of[$name]}" 2>/dev/null || true
    done
    pdns_stop
    PDNS_PID=$pdns_b_pid pdns_stop
    pg_end
    rm -rf "$tmp"
}
trap cleanup EXIT

fail() {
    echo "multinode: FAIL: $*" >&2
    local name
    for name in a b; do
        [[ -f $tmp/server-$name.log ]] || continue
        echo "--- last lines of server $name's log:" >&2
        grep -v '	GET	' "$tmp/server-$name.log" | tail -10 >&2 || true
    done
    exit 1
}

over_time_fail() {
    fail "time limit of ${time_limit}s reached with $(stream_count sent) of $total sent"
}

pgdir=$(mktemp -d) # its own folder: the cluster runs as nobody
pg_begin "$pgdir" 5432 || {
    status=$?
    ((status == 77)) && echo "multinode: PostgreSQL is not installed; skipping" >&2
    exit "$status"
}

account_add "$server" "$PG_URI" "$STREAM_USER:$STREAM_PASSWORD:$(stream_hosts),$race_host" ||
    fail "cannot add the account"

# launch_server NAME PORT: starts server NAME on PORT, its log appended to
# server-NAME.log; wait_listening NAME returns once it listens.
declare -A listened_before=()
launch_server() {
    local name=$1 port=$2 log=$tmp/server-$1.log
    listened_before[$name]=$(grep -c 'listening on' "$log" 2>/dev/null || true)
    "$server" --listen "127.0.0.1:$port" --db "$PG_URI" --zone "$zone" \
        --pdns-control "$tmp/dns-$name/pdns.controlsocket" 2>>"$log" &
    pid_of[$name]=$!
}
wait_listening() {
    local name=$1 log=$tmp/server-$1.log started=$SECONDS
    while (($(grep -c 'listening on' "$log" 2>/dev/null || true) <= listened_before[$name])); do
        kill -0 "${pid_of[$name]}" 2>/dev/null || fail "server $name exited while starting"
        ((SECONDS - started < 15)) || fail "server $name did not start within 15 s"
        sleep 0.01
    done
}

kill_server() {
    kill -KILL "${pid_of[$1]}"
    wait "${pid_of[$1]}" 2>/dev/null || true
    unset "pid_of[$1]"
}

# Both start on the empty database at once.
launch_server a "$port_a"
launch_server b "$port_b"
wait_listening a
wait_listening b
PDNS_ADDRESS=127.0.0.2 pdns_pgsql_start "$PG_URI" "$tmp/dns-b" || fail "B's PowerDNS did not start"
pdns_b_pid=$PDNS_PID
pdns_pgsql_start "$PG_URI" "$tmp/dns-a" || fail "A's PowerDNS did not start"

# 1. The stream, with A killed and restarted.
stream_start
total=$((STREAM_LOOPS * STREAM_PER_LOOP))
for ((k = 1; k <= kills; k++)); do
    stream_wait_sent $((total * k / (kills + 1))) "$time_limit" || over_time_fail
    kill_server a
    sleep 0.1 # a few updates find no server A
    launch_server a "$port_a"
    wait_listening a
done
stream_wait "$time_limit" || {
    (($? == 1)) && over_time_fail
    fail "an update loop failed"
}

"$server" list --all --db "$PG_URI" >"$tmp/list" 2>"$tmp/list.err" ||
    fail "tovix-server list: $(cat "$tmp/list.err")"
stream_verdict "$tmp/list" || fail "$STREAM_FAULT"

# DNS answers every stored address.
served=0
while IFS=$'\t' read -r host _ ipv4 _; do
    [[ $host == h*".$zone" && $ipv4 != - ]] || continue
    got=$(dns "$host" A)
    [[ $got == "$ipv4" ]] || fail "DNS answers $got for $host, which stores $ipv4"
    served=$((served + 1))
done < <(tail -n +2 "$tmp/list")
((served > 0)) || fail "no host stores an address"

# 2. The same change through both servers at once, round after round.
soa_serial() {
    local soa
    soa=$(dns "$zone" SOA)
    read -r _ _ soa _ <<<"$soa"
    [[ $soa =~ ^[0-9]+$ ]] || fail "no SOA serial in DNS for $zone: $(dns "$zone" SOA)"
    echo "$soa"
}
serial_before=$(soa_serial)
won_a=0 won_b=0
for ((r = 1; r <= rounds; r++)); do
    addr="10.251.$((r / 255)).$((r % 255 + 1))"
    # One curl sends both at once (--parallel-immediate: two connections
    # opened together rather than one after the other), each answer to a
    # file of its own.
    rm -f "$tmp/race.a" "$tmp/race.b"
    curl -s --parallel --parallel-immediate --connect-timeout 1 -m 5 \
        -u "$STREAM_USER:$STREAM_PASSWORD" -A "tovix-race/1.0" \
        -o "$tmp/race.a" "http://127.0.0.1:$port_a/nic/update?hostname=$race_host&myip=$addr" \
        -o "$tmp/race.b" "http://127.0.0.1:$port_b/nic/update?hostname=$race_host&myip=$addr" \
        2>>"$tmp/race.err" || true
    answers="$(cat "$tmp/race.a" 2>/dev/null) / $(cat "$tmp/race.b" 2>/dev/null)"
    case $answers in
    "good $addr / nochg $addr") won_a=$((won_a + 1)) ;;
    "nochg $addr / good $addr") won_b=$((won_b + 1)) ;;
    *) fail "round $r: servers A / B answered '$answers' for $addr (one good, one nochg expected)" ;;
    esac
done
serial_after=$(soa_serial)
race_records=$(pg_psql -c "SELECT content FROM records WHERE name = '$race_host' AND type = 'A'")
[[ $race_records == "$addr" ]] ||
    fail "$race_host holds the A records '${race_records//$'\n'/ }' in the database, not one $addr"
got=$(dns "$race_host" A)
[[ $got == "$addr" ]] || fail "DNS answers $got for $race_host, not $addr"
((serial_after - serial_before == rounds)) ||
    fail "the SOA serial went from $serial_before to $serial_after in $rounds changes"

# 3. Node to node, through NOTIFY: WHY|PowerDNS (of node)|ACTION|NAME|TYPE|EXPECTED
# ACTION: "update NODE QUERY" or "withdraw HOST" (account hosts, through no server).
hosts_but() {
    local list h
    list=$(stream_hosts | tr , '\n')
    for h; do list=$(grep -vxF "$h" <<<"$list"); done
    paste -sd, <<<"$list"
}
"$server" host follow "h4.$zone" "h3.$zone" --mac 00:1e:c2:12:34:56 --db "$PG_URI" 2>"$tmp/follow.err" ||
    fail "host follow: $(cat "$tmp/follow.err")"
across=0 withdrawn=()
while IFS='|' read -r why node action name type want; do
    address=127.0.0.1
    [[ $node == b ]] && address=127.0.0.2
    PDNS_ADDRESS=$address dns "$name" "$type" >/dev/null # cached now
    read -r verb arg query <<<"$action"
    if [[ $verb == update ]]; then
        port=$port_a
        [[ $arg == b ]] && port=$port_b
        got=$(curl -s -m 5 -u "$STREAM_USER:$STREAM_PASSWORD" \
            "http://127.0.0.1:$port/nic/update?$query")
        [[ $got == good* ]] || fail "$why: the update was answered '$got'"
    else
        withdrawn+=("$arg")
        "$server" account hosts "$STREAM_USER" "$(hosts_but "${withdrawn[@]}"),$race_host" \
            --db "$PG_URI" 2>"$tmp/hosts.err" || fail "$why: account hosts: $(cat "$tmp/hosts.err")"
    fi
    got=$(PDNS_ADDRESS=$address dns_wait "$name" "$type" "$want") ||
        fail "$why: $node's PowerDNS answers $got for $name $type, not $want"
    across=$((across + 1))
done <<EOF
an update through A, at B's PowerDNS|b|update a hostname=h0.$zone&myip=10.252.0.1|h0.$zone|A|10.252.0.1
an update through B, at A's PowerDNS|a|update b hostname=h0.$zone&myip=10.252.0.2|h0.$zone|A|10.252.0.2
a router's prefix through A, its follower at B's PowerDNS|b|update a hostname=h3.$zone&myip=10.252.0.3&ipv6prefix=2001:db8:77::/64|h4.$zone|AAAA|2001:db8:77:0:21e:c2ff:fe12:3456
a withdrawal on the command line, at A's PowerDNS|a|withdraw h1.$zone|h1.$zone|A|NXDOMAIN
a withdrawal on the command line, at B's PowerDNS|b|withdraw h2.$zone|h2.$zone|A|NXDOMAIN
EOF

pdns_pgsql_check "$tmp/dns-a" || fail "PowerDNS's checks of the database failed"

echo "multinode: $STREAM_SENT updates over 2 servers, $kills kills of one:" \
    "$STREAM_GOOD good, $STREAM_LOST unanswered, $STREAM_OTHER other; all $STREAM_GOOD found in the database," \
    "$served hosts answered by DNS; race: $rounds rounds, each one good and one nochg" \
    "(good from A $won_a, from B $won_b), serial +$((serial_after - serial_before));" \
    "$across changes answered by the other node's PowerDNS; pdnsutil checks passed"
