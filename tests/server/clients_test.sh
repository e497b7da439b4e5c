#!/usr/bin/env bash
# Debian's ddclient and inadyn, each run once against tovix-server, then
# what PowerDNS answers. Runs inside a private network namespace
# (tests/support/netns-run.sh): tovix-server on 127.0.0.1:80, pdns_server on
# 127.0.0.1:53. Neither client may leave a process behind.
# Usage: clients_test.sh PATH/TO/tovix-server
set -u
server=$1
. "$(dirname "$0")/../support/names-test.sh"
# answers CLIENT: the answers tovix-server logged for requests of CLIENT's agent.
answers() { awk -F'\t' -v agent="$1" 'index($5, agent) == 1 { print $8 }' "$work/requests.log" | paste -sd'|'; }
left_behind() { pgrep -f -- "$1.*$work" >/dev/null; }

for tool in ddclient inadyn pdns_server dig; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (scripts/install-deps.sh)"; exit 1; }
done

names_test_begin "$server" --zone dyn.example \
    --account 'alice:pw:dd.dyn.example,in.dyn.example'

# ddclient 3.10: its dyndns2 sends one address a run (myip=ADDR), with
# wildcard, mx and backmx from the configuration. An IPv4 run, then an IPv6
# run: both families end up published.
cat >"$work/ddclient.conf" <<CONF
protocol=dyndns2
server=127.0.0.1
ssl=no
login=alice
password=pw
wildcard=yes
mx=mail.example.net
backupmx=yes
dd.dyn.example
CONF
chmod 600 "$work/ddclient.conf"
for ip in 192.0.2.60 2001:db8::60; do
    ddclient -foreground -daemon=0 -noquiet -file "$work/ddclient.conf" \
        -cache "$work/ddclient-$ip.cache" -pid "$work/ddclient.pid" -use=ip -ip="$ip" \
        </dev/null >"$work/ddclient.out" 2>&1
    grep -q "^SUCCESS: *updating dd.dyn.example: good: IP address set to $ip" "$work/ddclient.out" ||
        fail "ddclient ($ip) did not report success: $(cat "$work/ddclient.out")"
done
[ "$(answers ddclient/)" = "good 192.0.2.60|good 2001:db8::60" ] ||
    fail "ddclient: server answered '$(answers ddclient/)'"
grep -q $'\t/nic/update?system=dyndns&hostname=dd.dyn.example&myip=192.0.2.60&wildcard=ON&mx=mail.example.net&backmx=YES\t' \
    "$work/requests.log" || fail "ddclient sent another request: $(cat "$work/requests.log")"
check_dns dd.dyn.example A 192.0.2.60
check_dns dd.dyn.example AAAA 2001:db8::60
check_dns any.dd.dyn.example AAAA 2001:db8::60
check_dns dd.dyn.example MX "10 dd.dyn.example. 20 mail.example.net."
left_behind ddclient && fail "a ddclient process is still running"
[ "$failures" -eq 0 ] && echo "ok: ddclient, IPv4 then IPv6"

# inadyn 2.10: dual stack as two custom sections, one per family, each
# with its own address (checkip-command), in one --once run.
section() {
    cat <<CONF
custom tovix-$1 {
    ssl = false
    username = alice
    password = pw
    ddns-server = 127.0.0.1
    ddns-path = "/nic/update?hostname=%h&myip=%i"
    checkip-command = "echo $2"
    hostname = in.dyn.example
}
CONF
}
{
    echo "allow-ipv6 = true"
    # 192.0.2.0/24 and 2001:db8::/32 are documentation ranges, which inadyn
    # would refuse as not routable.
    echo "verify-address = false"
    section v4 192.0.2.70
    section v6 2001:db8::70
} >"$work/inadyn.conf"
before=$failures
timeout 60 inadyn --foreground --once --no-pidfile --cache-dir "$work/inadyn-cache" \
    -l info -f "$work/inadyn.conf" </dev/null >"$work/inadyn.out" 2>&1 ||
    fail "inadyn exit status $?: $(cat "$work/inadyn.out")"
for ip in 192.0.2.70 2001:db8::70; do
    grep -q "Successful alias table update for in.dyn.example => new IP# $ip" "$work/inadyn.out" ||
        fail "inadyn did not report success for $ip: $(cat "$work/inadyn.out")"
done
case "$(answers inadyn/)" in
"good 192.0.2.70|good 2001:db8::70" | "good 2001:db8::70|good 192.0.2.70") ;;
*) fail "inadyn: server answered '$(answers inadyn/)'" ;;
esac
check_dns in.dyn.example A 192.0.2.70
check_dns in.dyn.example AAAA 2001:db8::70
check_dns any.in.dyn.example A NXDOMAIN
left_behind inadyn && fail "an inadyn process is still running"
[ "$failures" -eq "$before" ] && echo "ok: inadyn, IPv4 and IPv6"

summary
