#!/usr/bin/env bash
# Silent runs of the host tovix against tovix-server on 127.0.0.1:80 (run
# inside a private network namespace): exit status 0 whatever happens, and
# exactly one update GET with the program's path, query, credentials and
# user agent.
set -u
tovix=$1
server=$2
. "$(dirname "$0")/lib.sh"
export TOVIX_PHONEBOOK="$work/empty.pbk"

query() {
    echo "/dyndns/update?system=dyndns&hostname=$1&wildcard=ON&mx=$1&backmx=YES"
}

# run_case WHY EXPECTED-USER EXPECTED-HOST EXPECTED-ANSWER ARGS...
run_case() {
    local why=$1 user=$2 host=$3 answer=$4
    shift 4
    : > "$work/requests.log"
    "$tovix" "$@" > "$work/out" 2>&1
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

start_server || exit 1
run_case "first update: good" tovix home.tovix.example "good 127.0.0.1" -Slient
run_case "same address again: nochg" tovix home.tovix.example "nochg 127.0.0.1" -Slient
run_case "any case of the switch" tovix home.tovix.example "nochg 127.0.0.1" -sLIENT
run_case "wrong password: badauth" tovix home.tovix.example badauth \
    -Slient home.tovix.example tovix wrong
run_case "a host nobody owns: nohost" tovix other.example nohost -Slient other.example
run_case "a name that is no host name: notfqdn" tovix nodot notfqdn -Slient nodot

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
