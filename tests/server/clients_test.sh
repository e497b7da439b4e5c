#!/usr/bin/env bash
# Debian's ddclient and inadyn, each run once against tovix-server, then
# what PowerDNS answers; then each again from a source the server throttles,
# where the answer (503, 911) must make them try later, not give up. Runs inside a private network namespace
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
    --account 'alice:pw:dd.dyn.example,in.dyn.example' --account 'carol:pw:th.dyn.example'

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

# Each client again, finding its address through GET /checkip and signing
# in with a token of its host (user name: the host) instead of alice's
# password. Inside the namespace the caller's address is 127.0.0.1.
before=$failures
dd_token=$("$server" token add dd.dyn.example --label ddclient --db "$work/names.db" 2>/dev/null) &&
    in_token=$("$server" token add in.dyn.example --label inadyn --db "$work/names.db" 2>/dev/null) ||
    fail "token add"
sed -e "s/^login=.*/login=dd.dyn.example/" -e "s/^password=.*/password=$dd_token/" \
    "$work/ddclient.conf" >"$work/ddclient-web.conf"
chmod 600 "$work/ddclient-web.conf"
ddclient -foreground -daemon=0 -noquiet -file "$work/ddclient-web.conf" \
    -cache "$work/ddclient-web.cache" -pid "$work/ddclient.pid" -use=web \
    -web=http://127.0.0.1/checkip </dev/null >"$work/ddclient-web.out" 2>&1
grep -q "^SUCCESS: *updating dd.dyn.example: good: IP address set to 127.0.0.1" \
    "$work/ddclient-web.out" || fail "ddclient (checkip, token): $(cat "$work/ddclient-web.out")"
check_dns dd.dyn.example A 127.0.0.1
cat >"$work/inadyn-web.conf" <<CONF
verify-address = false
custom tovix-web {
    ssl = false
    username = in.dyn.example
    password = $in_token
    ddns-server = 127.0.0.1
    ddns-path = "/nic/update?hostname=%h&myip=%i"
    checkip-server = 127.0.0.1
    checkip-path = /checkip
    checkip-ssl = false
    hostname = in.dyn.example
}
CONF
timeout 60 inadyn --foreground --once --no-pidfile --cache-dir "$work/inadyn-web" -l info \
    -f "$work/inadyn-web.conf" </dev/null >"$work/inadyn-web.out" 2>&1 ||
    fail "inadyn (checkip, token) exit status $?: $(cat "$work/inadyn-web.out")"
grep -q "Successful alias table update for in.dyn.example => new IP# 127.0.0.1" \
    "$work/inadyn-web.out" || fail "inadyn (checkip, token): $(cat "$work/inadyn-web.out")"
check_dns in.dyn.example A 127.0.0.1
"$server" history in.dyn.example --db "$work/names.db" | grep -q $'\ttoken 1$' ||
    fail "the token's update is not in the history: $("$server" history in.dyn.example --db "$work/names.db")"
[ "$failures" -eq "$before" ] && echo "ok: ddclient and inadyn, address by /checkip, signed in with a token"

# Each client again with the lines the web page gives for its host, as
# pasted, the token filled in: over the plain HTTP listener they must speak
# plain HTTP, for the update and the address check alike. inadyn also gets
# verify-address = false, as above: 127.0.0.1 is its address here.
before=$failures
session=$(curl -s -D - -o /dev/null -d 'user=alice&password=pw' http://127.0.0.1/signin |
    sed -n 's/^Set-Cookie: \(tovix_session=[0-9a-f]*\).*/\1/p')
curl -s -b "$session" http://127.0.0.1/hosts >"$work/hosts.html"
# Both hosts elsewhere first, so that each client's run is a change.
for h in dd in; do
    t=${h}_token
    curl -s -o /dev/null -u "$h.dyn.example:${!t}" "http://127.0.0.1/nic/update?myip=192.0.2.1"
done
# snippet HOST CLIENT: the lines under CLIENT in HOST's part of My hosts.
snippet() {
    python3 - "$work/hosts.html" "$1" "$2" <<'PY'
import html, re, sys
page, host, client = open(sys.argv[1]).read(), sys.argv[2], sys.argv[3]
part = page[page.index('id="host-%s"' % host):]
print(html.unescape(re.search(r"<p>%s</p><pre>(.*?)</pre>" % client, part, re.S).group(1)))
PY
}
snippet dd.dyn.example ddclient | sed "s/^password=TOKEN$/password=$dd_token/" >"$work/ddclient-page.conf"
chmod 600 "$work/ddclient-page.conf"
grep -qx 'ssl=no' "$work/ddclient-page.conf" || fail "the page's ddclient lines: $(cat "$work/ddclient-page.conf")"
ddclient -foreground -daemon=0 -noquiet -file "$work/ddclient-page.conf" \
    -cache "$work/ddclient-page.cache" -pid "$work/ddclient.pid" </dev/null >"$work/ddclient-page.out" 2>&1
grep -q "^SUCCESS: *updating dd.dyn.example: good: IP address set to 127.0.0.1" \
    "$work/ddclient-page.out" || fail "ddclient (the page's lines): $(cat "$work/ddclient-page.out")"
{
    echo "verify-address = false"
    snippet in.dyn.example inadyn | sed "s/password       = TOKEN$/password       = $in_token/"
} >"$work/inadyn-page.conf"
timeout 60 inadyn --foreground --once --no-pidfile --cache-dir "$work/inadyn-page" -l info \
    -f "$work/inadyn-page.conf" </dev/null >"$work/inadyn-page.out" 2>&1 ||
    fail "inadyn (the page's lines) exit status $?: $(cat "$work/inadyn-page.out")"
grep -q "Successful alias table update for in.dyn.example => new IP# 127.0.0.1" \
    "$work/inadyn-page.out" || fail "inadyn (the page's lines): $(cat "$work/inadyn-page.conf" "$work/inadyn-page.out")"
[ "$(awk -F'\t' 'index($5, "inadyn/") == 1 && $4 ~ /^\/checkip/' "$work/requests.log" | wc -l)" -ge 2 ] ||
    fail "inadyn did not check its address at this server over HTTP"
[ "$failures" -eq "$before" ] && echo "ok: ddclient and inadyn with the page's lines, as pasted"

# Guessers on this source keep its allowance spent (10 checks, then 2 a
# second; a throttled guess is answered after a second, and 20 of them ask
# again at once): carol's right password, never seen before, is not checked.
guessers=()
throttled() { grep -c $'\tguesser\tcarol\t503\t' "$work/requests.log"; }
throttle() {
    local seen
    seen=$(throttled)
    for g in $(seq 20); do
        (for i in $(seq 200); do
            curl -s -o /dev/null -u "carol:guess$g-$i" -A guesser "http://127.0.0.1/nic/update?hostname=x"
        done) &
        guessers+=($!)
    done
    for _ in $(seq 400); do
        [ "$(throttled)" -gt "$seen" ] && return
        sleep 0.05
    done
    fail "the guessers were never throttled"
}
unthrottle() {
    kill "${guessers[@]}" 2>/dev/null
    wait "${guessers[@]}" 2>/dev/null
    guessers=()
}
# while_throttled CHECK: runs CHECK (a client's run, true when the client met
# the throttle) with the guessers at work; a run whose request found a token
# free (a race the guessers can lose on a busy machine) is tried again, with
# a new password: the one that got through is remembered as verified.
while_throttled() {
    local try
    for try in 1 2 3 4 5; do
        pw="pw-$1-$try"
        printf '%s\n' "$pw" | "$server" account passwd carol --db "$work/names.db" >/dev/null ||
            fail "account passwd carol"
        throttle
        "$1" "$try" && { unthrottle; return 0; }
        unthrottle
    done
    return 1
}
# inadyn stays to retry (in 600 s) rather than exit as it does for badauth.
inadyn_run() {
    timeout 60 inadyn --foreground --once --no-pidfile --cache-dir "$work/inadyn-th$1" -l info \
        -f <(sed "s/password = .*/password = $pw/" "$work/inadyn-th.conf") \
        </dev/null >"$work/inadyn-th.out" 2>&1 &
    local pid=$! _
    for _ in $(seq 400); do
        grep -q "Will retry again\|Successful" "$work/inadyn-th.out" && break
        sleep 0.05
    done
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    grep -q "Temporary error in DDNS server response" "$work/inadyn-th.out" &&
        grep -q "Will retry again" "$work/inadyn-th.out"
}
# ddclient records the failure (noconnect, not badauth); its next run, once
# the source's next check is due, updates.
ddrun() {
    sed "s/^password=.*/password=$pw/" "$work/ddclient-th.conf" >"$work/ddclient-run.conf"
    chmod 600 "$work/ddclient-run.conf"
    ddclient -foreground -daemon=0 -noquiet -file "$work/ddclient-run.conf" \
        -cache "$work/ddclient-th.cache" -pid "$work/ddclient.pid" -use=ip -ip="192.0.2.9$1" \
        </dev/null >"$work/ddclient-th.out" 2>&1
    grep -q 'status=noconnect' "$work/ddclient-th.cache"
}
before=$failures
sed -e 's/alice/carol/' -e 's/in\.dyn/th.dyn/' -e '/allow-ipv6/d' "$work/inadyn.conf" |
    awk '/^custom tovix-v6/ { exit } { print }' >"$work/inadyn-th.conf"
while_throttled inadyn_run || fail "inadyn, throttled, does not retry: $(cat "$work/inadyn-th.out")"
{
    echo "min-interval=0"
    echo "min-error-interval=0"
    sed -e 's/alice/carol/' -e 's/^dd\.dyn/th.dyn/' -e '/wildcard\|mx/d' "$work/ddclient.conf"
} >"$work/ddclient-th.conf"
chmod 600 "$work/ddclient-th.conf"
while_throttled ddrun ||
    fail "ddclient, throttled, recorded: $(grep -v '^#' "$work/ddclient-th.cache")"
for _ in $(seq 20); do
    grep -q "^SUCCESS: *updating th.dyn.example" "$work/ddclient-th.out" && break
    sleep 0.5
    ddrun 0
done
grep -q "^SUCCESS: *updating th.dyn.example" "$work/ddclient-th.out" ||
    fail "ddclient never got through: $(cat "$work/ddclient-th.out")"
[ "$(awk -F'\t' '$6 == "carol" && $7 == 401 && $5 != "guesser"' "$work/requests.log")" = "" ] ||
    fail "carol's right password was answered 401"
left_behind inadyn && fail "an inadyn process is still running"
[ "$failures" -eq "$before" ] && echo "ok: inadyn and ddclient, throttled, try again later"

summary
