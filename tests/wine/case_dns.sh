#!/bin/bash
# The main job seen in DNS: the real Tovix.exe updates tovix-server, and
# PowerDNS, serving the same database in the rig's namespace, then answers
# for the default host name with the caller's address.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/../support/pdns.sh"
rig_enter "$@"
case_dir dns
trap 'cleanup_case; pdns_stop' EXIT

# dns_is NAME TYPE EXPECTED: DNS comes to answer EXPECTED (see pdns.sh).
dns_is() {
    local got
    got=$(dns_wait "$@") || {
        note "DNS answered $1 $2: $got"
        return 1
    }
}

section "Tovix.exe -Slient, then DNS for home.tovix.example"
# The answer asked before the update is in PowerDNS's caches: the server
# purges what it changes through PowerDNS's control socket (in $WORK).
start_server dns --pdns-control "$WORK/pdns.controlsocket"
pdns_start "$DB" "$WORK" || {
    fail "pdns_server did not start"
    finish
}
check "before the update: NXDOMAIN" dns_is home.tovix.example A NXDOMAIN
run_tovix update --watch "\"$APP\" -Slient"
check "exit status 0" wait_tovix
show "$REQUESTS"
check "the update was answered good 127.0.0.1" grep -q $'\t200\tgood 127.0.0.1$' "$REQUESTS"
check "DNS: home.tovix.example A 127.0.0.1" dns_is home.tovix.example A 127.0.0.1
check "DNS: www.home.tovix.example A 127.0.0.1 (wildcard=ON)" \
    dns_is www.home.tovix.example A 127.0.0.1
check "DNS: home.tovix.example MX 10 home.tovix.example. (mx=HOST, backmx=YES)" \
    dns_is home.tovix.example MX "10 home.tovix.example."
# A token of the host as the password, the host's name as the user name.
TOKEN=$("$TOVIX_SERVER" token add home.tovix.example --db "$DB" 2>/dev/null)
run_tovix token --watch "\"$APP\" -Slient home.tovix.example home.tovix.example $TOKEN"
check "with a token: exit status 0" wait_tovix
check "with a token: answered nochg 127.0.0.1" \
    grep -q $'\thome.tovix.example\t200\tnochg 127.0.0.1$' "$REQUESTS"
stop_server
pdns_stop

finish
