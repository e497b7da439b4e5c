#!/usr/bin/env bash
# The main job seen in DNS: the host tovix -Slient updates tovix-server on
# 127.0.0.1:80, and PowerDNS, serving the same database, then answers for
# the default host name with the caller's address. Run inside a private
# network namespace.
set -u
tovix=$1
server=$2
. "$(dirname "$0")/../support/names-test.sh"
names_test_begin "$server"
export TOVIX_PHONEBOOK="$work/empty.pbk"

check_dns home.tovix.example A NXDOMAIN
"$tovix" -Slient >"$work/out" 2>&1 || fail "exit status $?: $(cat "$work/out")"
answer=$(cut -f8 "$work/requests.log" | tail -1)
[ "$answer" = "good 127.0.0.1" ] || fail "tovix-server answered '$answer'"
# The program asks for wildcard=ON, mx=HOST and backmx=YES.
check_dns home.tovix.example A 127.0.0.1
check_dns home.tovix.example AAAA NODATA
check_dns www.home.tovix.example A 127.0.0.1
check_dns home.tovix.example MX "10 home.tovix.example."
[ "$failures" -eq 0 ] && echo "ok: tovix -Slient, then DNS answers home.tovix.example A 127.0.0.1"

# A token of the host in place of the account's password: the program's
# user name is the host's name.
before=$failures
token=$("$server" token add home.tovix.example --db "$work/names.db" 2>/dev/null) || fail "token add"
"$tovix" -Slient home.tovix.example home.tovix.example "$token" >"$work/out" 2>&1 ||
    fail "with a token: exit status $?: $(cat "$work/out")"
[ "$(tail -1 "$work/requests.log" | cut -f6,8)" = $'home.tovix.example\tnochg 127.0.0.1' ] ||
    fail "with a token, tovix-server answered: $(tail -1 "$work/requests.log")"
[ "$failures" -eq "$before" ] && echo "ok: tovix -Slient HOST HOST TOKEN"
summary
