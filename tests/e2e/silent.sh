#!/usr/bin/env bash
# Silent runs of the host tovix against tovix-server on 127.0.0.1:80 (run
# inside a private network namespace): the rows of
# tests/scenarios/silent-updates.table, which the Wine runner plays too.
# Exit status 0 whatever happens, and exactly one update GET with the
# program's path, query, credentials and user agent.
set -u
tovix=$1
server=$2
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/../scenarios/scenarios.sh"
export TOVIX_PHONEBOOK="$work/empty.pbk"

query() {
    echo "/dyndns/update?system=dyndns&hostname=$1&wildcard=ON&mx=$1&backmx=YES"
}

# play WHY ARGUMENTS HOSTNAME USER ANSWER: one row of the shared table. The
# arguments are split at single blanks, so that the argument text tovix
# rebuilds from them is the row's, blanks as written.
play() {
    local why=$1 rest=$2 host=$3 user=$4 answer=$5 argv=()
    while [[ $rest == *" "* ]]; do
        argv+=("${rest%% *}")
        rest=${rest#* }
    done
    argv+=("$rest")
    : > "$work/requests.log"
    "$tovix" "${argv[@]}" > "$work/out" 2>&1
    local rc=$?
    [ "$rc" -eq 0 ] || fail "$why: exit status $rc: $(cat "$work/out")"
    [ ! -s "$work/out" ] || fail "$why: silent mode printed: $(cat "$work/out")"
    local n
    n=$(request_count)
    [ "$n" -eq 1 ] || { fail "$why: the server saw $n requests"; return; }
    [ "$(request_field 1 3)" = GET ] || fail "$why: method $(request_field 1 3)"
    [ "$(request_field 1 4)" = "$(query "$host")" ] || fail "$why: target $(request_field 1 4)"
    [ "$(request_field 1 5)" = Tovix ] || fail "$why: user agent '$(request_field 1 5)'"
    [ "$(request_field 1 6)" = "$user" ] || fail "$why: user '$(request_field 1 6)'"
    [ "$(request_field 1 8)" = "$answer" ] || fail "$why: answer '$(request_field 1 8)'"
    pass "$why"
}

start_server --account tovix:KoReL52:home.tovix.example --account me:pw:myhost.example \
    --zone tovix.example --zone myhost.example || exit 1
each_scenario "$SCENARIOS_DIR/silent-updates.table" play

record=$("$server" list --db "$work/records.db" | awk -F'\t' '$1 == "home.tovix.example"')
case "$record" in
*"127.0.0.1"*) pass "the record holds the caller's address" ;;
*) fail "no record for home.tovix.example: $record" ;;
esac

stop_server
: > "$work/requests.log"
"$tovix" -Slient > "$work/out" 2>&1
rc=$?
[ "$rc" -eq 0 ] && pass "no server: exit status 0" || fail "no server: exit status $rc"
