#!/usr/bin/env bash
# dyndns2 requests (curl) against tovix-server, and what PowerDNS then
# answers (dig), one table row per request. Runs inside a private network
# namespace (tests/support/netns-run.sh): tovix-server on 127.0.0.1:80,
# pdns_server on 127.0.0.1:53 over the same database.
# Usage: dns_test.sh PATH/TO/tovix-server
set -u
server=$1
. "$(dirname "$0")/../support/names-test.sh"
# Answers wait up to 5 s for PowerDNS's purge (not 50 ms), so that the row
# with every purge made late below holds on a busy machine too.
names_test_begin "$server" --zone dyn.example --zone other.example \
    --account 'alice:pw:a.dyn.example,b.dyn.example,x.outside.example,r.dyn.example,cam.dyn.example,nas.dyn.example' \
    --purge-wait 5000

# row WHY QUERY ANSWER [CHECK...]: sends GET /nic/update?QUERY as alice and
# expects ANSWER (lines joined with "|"); then each CHECK "NAME TYPE=EXPECTED"
# must be what DNS answers (see dns in pdns.sh: data, NODATA, NXDOMAIN...);
# with AT_ONCE=1 (an address expected), in the first query after the
# answer, not eventually.
row() {
    local why=$1 query=$2 want=$3 got check name type expected seen before=$failures
    shift 3
    got=$(curl -s --max-time 10 -u alice:pw -A 'tovix-dns-test/1.0' \
        "http://127.0.0.1/nic/update?$query" | paste -sd'|')
    [ "$got" = "$want" ] || { fail "$why: answer '$got', expected '$want'"; return; }
    for check in "$@"; do
        name=${check%% *}
        type=${check#* }
        expected=${type#*=}
        type=${type%%=*}
        if [ "${AT_ONCE:-}" = 1 ]; then
            seen=$(dig +short +norecurse @"$PDNS_ADDRESS" "$name" "$type" | sort | paste -sd' ')
            [ "$seen" = "$expected" ]
        else
            seen=$(dns_wait "$name" "$type" "$expected")
        fi || fail "$why: $name $type is '$seen', expected '$expected'"
    done
    [ "$failures" -eq "$before" ] && echo "ok: $why"
}

a=a.dyn.example
row "IPv4 alone" "hostname=$a&myip=192.0.2.1" "good 192.0.2.1" \
    "$a A=192.0.2.1" "$a AAAA=NODATA"
row "then IPv6 alone: IPv4 stays" "hostname=$a&myip=2001:db8::1" "good 2001:db8::1" \
    "$a A=192.0.2.1" "$a AAAA=2001:db8::1"
row "dual stack pair" "hostname=$a&myip=192.0.2.2,2001:db8::2" "good 192.0.2.2,2001:db8::2" \
    "$a A=192.0.2.2" "$a AAAA=2001:db8::2"
row "the same pair, IPv6 first: nochg" "hostname=$a&myip=2001:db8::2,192.0.2.2" \
    "nochg 192.0.2.2,2001:db8::2" "$a A=192.0.2.2"
row "wildcard=ON" "hostname=$a&myip=192.0.2.2&wildcard=ON" "good 192.0.2.2" \
    "x.$a A=192.0.2.2" "y.x.$a AAAA=2001:db8::2" "$a A=192.0.2.2"
row "wildcard=NOCHG keeps it" "hostname=$a&myip=192.0.2.3&wildcard=NOCHG" "good 192.0.2.3" \
    "x.$a A=192.0.2.3"
row "wildcard=OFF" "hostname=$a&myip=192.0.2.3&wildcard=OFF" "good 192.0.2.3" \
    "x.$a A=NXDOMAIN" "$a A=192.0.2.3"
row "mx" "hostname=$a&myip=192.0.2.3&mx=mail.example.net" "good 192.0.2.3" \
    "$a MX=10 mail.example.net."
row "backmx=YES: the host first, the mx as backup" \
    "hostname=$a&myip=192.0.2.3&mx=mail.example.net&backmx=YES" "good 192.0.2.3" \
    "$a MX=10 $a. 20 mail.example.net."
row "mx= removes the mail exchanger" "hostname=$a&myip=192.0.2.3&mx=" "good 192.0.2.3" \
    "$a MX=NODATA"
row "offline=YES withdraws the addresses, not the mail exchanger" \
    "hostname=$a&myip=192.0.2.3&offline=YES&mx=mail.example.net" "good 192.0.2.3" \
    "$a A=NODATA" "$a AAAA=NODATA" "x.$a A=NXDOMAIN" "$a MX=10 $a. 20 mail.example.net."
row "back online" "hostname=$a&myip=192.0.2.3&mx=" "good 192.0.2.3" \
    "$a A=192.0.2.3" "$a AAAA=2001:db8::2" "$a MX=NODATA"
row "several hosts in one request" "hostname=$a,b.dyn.example&myip=192.0.2.4" \
    "good 192.0.2.4|good 192.0.2.4" "$a A=192.0.2.4" "b.dyn.example A=192.0.2.4"
row "myip 0.0.0.0: the caller's address" "hostname=b.dyn.example&myip=0.0.0.0" \
    "good 127.0.0.1" "b.dyn.example A=127.0.0.1"
for bad in 255.255.255.255 224.0.0.1 :: ff02::1 192.0.2 2001:db8::1,2001:db8::2 x; do
    row "myip $bad: the caller's address" "hostname=b.dyn.example&myip=$bad" \
        "nochg 127.0.0.1" "b.dyn.example A=127.0.0.1" "b.dyn.example AAAA=NODATA"
done
row "a host outside every zone" "hostname=x.outside.example&myip=192.0.2.9" "nohost" \
    "x.outside.example A=REFUSED"
row "a host of the zone nobody owns" "hostname=c.dyn.example&myip=192.0.2.9" "nohost" \
    "c.dyn.example A=NXDOMAIN"
row "the other zone is served too" "hostname=$a&myip=192.0.2.4" "nochg 192.0.2.4" \
    "other.example NS=ns1.other.example." "dyn.example NS=ns1.dyn.example."

# A router's LAN prefix moves the hosts that follow it: cam by its MAC, nas
# in subnet 1 of a /56. The update as a router's URL template sends it,
# myip=<ipaddr>,<ip6addr>&ipv6prefix=<ip6lanprefix>.
r=r.dyn.example cam=cam.dyn.example nas=nas.dyn.example
follow() { "$server" host follow "$@" --db "$work/names.db" >/dev/null 2>&1; }
follow $cam $r --mac 00:1e:c2:12:34:56 || fail "host follow --mac"
follow $nas $r --suffix ::1:0:0:0:5 || fail "host follow --suffix"
follow $r $cam --suffix ::5 && fail "a follower was followed"
eui=21e:c2ff:fe12:3456 wan="myip=192.0.2.20,2001:db8::20"
row "a router's update with its LAN prefix" "hostname=$r&$wan&ipv6prefix=2001:db8:aa:bb00::/56" \
    "good 192.0.2.20,2001:db8::20" "$r AAAA=2001:db8::20" "$cam AAAA=2001:db8:aa:bb00:$eui" \
    "$nas AAAA=2001:db8:aa:bb01::5"
row "a new prefix, ip6lanprefix" "hostname=$r&$wan&ip6lanprefix=2001:db8:cc:dd00::/56" \
    "nochg 192.0.2.20,2001:db8::20" "$cam AAAA=2001:db8:cc:dd00:$eui" "$nas AAAA=2001:db8:cc:dd01::5"
row "a /64 that nas's suffix overlaps changes nothing" \
    "hostname=$r&myip=192.0.2.21&ipv6prefix=2001:db8:ee::/64" "dnserr" "$r A=192.0.2.20" \
    "$cam AAAA=2001:db8:cc:dd00:$eui"
row "no prefix: the followers stay" "hostname=$r&myip=192.0.2.22" "good 192.0.2.22" \
    "$cam AAAA=2001:db8:cc:dd00:$eui"

# The serial goes up with a change and stays with a nochg.
serial() { dns dyn.example SOA | cut -d' ' -f3; }
before=$(serial)
row "a change for the serial" "hostname=$a&myip=192.0.2.5" "good 192.0.2.5"
after=$(serial)
[ "$after" -gt "$before" ] 2>/dev/null || fail "serial $before -> $after after a change"
row "no change for the serial" "hostname=$a&myip=192.0.2.5" "nochg 192.0.2.5"
[ "$(serial)" = "$after" ] || fail "serial $after -> $(serial) after nochg"

# The answer leaves once PowerDNS has purged what it changed: with every
# purge reaching PowerDNS a second late (a stand-in on the control socket's
# path), the first query right after good answers the new address.
mv "$work/pdns.controlsocket" "$work/pdns.real"
python3 - "$work/pdns.controlsocket" "$work/pdns.real" <<'EOF' &
import socket, sys, threading, time
listener = socket.socket(socket.AF_UNIX)
listener.bind(sys.argv[1])
listener.listen(8)
def late(conn):
    with conn, socket.socket(socket.AF_UNIX) as pdns:
        line = conn.recv(65536)
        time.sleep(1)
        pdns.connect(sys.argv[2])
        pdns.sendall(line)
        conn.sendall(pdns.recv(100))
while True:
    threading.Thread(target=late, args=(listener.accept()[0],)).start()
EOF
late=$!
for _ in $(seq 100); do [ -S "$work/pdns.controlsocket" ] && break; sleep 0.05; done
for n in 1 2 3; do
    dns "$a" A >/dev/null # cached
    AT_ONCE=1 row "the first query after good (purges 1 s late), $n" \
        "hostname=$a&myip=192.0.2.2$n" "good 192.0.2.2$n" "$a A=192.0.2.2$n"
done
kill "$late"
wait "$late" 2>/dev/null
rm -f "$work/pdns.controlsocket"
mv "$work/pdns.real" "$work/pdns.controlsocket"

# A host withdrawn on the command line leaves PowerDNS's cache before the
# command returns.
check_dns b.dyn.example A 127.0.0.1 # cached now
"$server" account hosts alice "$a,x.outside.example" --db "$work/names.db" \
    --pdns-control "$work/pdns.controlsocket" || fail "account hosts failed"
[ "$(dns b.dyn.example A)" = NXDOMAIN ] || fail "b.dyn.example withdrawn: $(dns b.dyn.example A)"

# PowerDNS down: updates are answered all the same, the failed purge is
# logged with the socket's path, and it goes on once PowerDNS is back.
pdns_stop
row "PowerDNS down: still good" "hostname=$a&myip=192.0.2.6" "good 192.0.2.6"
logged="cannot purge PowerDNS's cache through $work/pdns.controlsocket: "
for _ in $(seq 100); do grep -qF "$logged" "$work/server.err" && break; sleep 0.05; done
grep -qF "$logged" "$work/server.err" || fail "no failed purge logged: $(tail -1 "$work/server.err")"
pdns_start "$work/names.db" "$work" || fail "PowerDNS did not start again"
row "PowerDNS back" "hostname=$a&myip=192.0.2.7" "good 192.0.2.7" "$a A=192.0.2.7"

summary
