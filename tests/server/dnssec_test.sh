#!/usr/bin/env bash
# Zones signed by PowerDNS live (tovix-server zone secure / add --dnssec),
# inside a private network namespace (tests/support/netns-run.sh):
# tovix-server on 127.0.0.1:80, pdns_server on 127.0.0.1:53 over its
# database. After each update delv, with the zone's DNSKEY as its only trust
# anchor, must validate the new answer; pdnsutil check-zone must find no
# error. Usage: dnssec_test.sh PATH/TO/tovix-server
set -u
server=$1
. "$(dirname "$0")/../support/names-test.sh"
if ! command -v delv >/dev/null || ! command -v pdnsutil >/dev/null; then
    echo "delv (bind9-dnsutils) or pdnsutil (pdns-server) is not installed; skipping"
    exit 77
fi
names_test_begin "$server" --zone signed.example --zone plain.example --zone late.example \
    --account 'alice:pw:home.signed.example,cam.signed.example,home.plain.example,home.late.example'
zone() { "$server" zone "$@" --db "$work/names.db" --pdns-control "$work/pdns.controlsocket"; }

# validated NAME TYPE EXPECTED: polls until delv, trusting only the DNSKEY
# of NAME's zone ($anchor_zone), answers EXPECTED fully validated.
validated() {
    local got end=$((SECONDS + 5))
    while :; do
        got=$(delv @127.0.0.1 -a "$work/anchors" +root="$anchor_zone" "$1" "$2" 2>&1)
        grep -q '^; fully validated' <<<"$got" &&
            [ "$(grep -v '^;' <<<"$got" | awk -v t="$2" '$4 == t {print $5}' | sort | paste -sd' ')" = "$3" ] &&
            return 0
        [ $SECONDS -ge $end ] && break
        sleep 0.05
    done
    fail "delv $1 $2: expected '$3' fully validated, got: $(paste -sd' ' <<<"$got")"
    return 1
}

# trust ZONE: the zone's DNSKEY, as DNS answers it, is delv's trust anchor.
trust() {
    anchor_zone=$1
    dig +short @127.0.0.1 "$1" DNSKEY |
        awk -v z="$1." '{k = ""; for (i = 4; i <= NF; i++) k = k $i;
            print "trust-anchors { " z " static-key " $1 " " $2 " " $3 " \"" k "\"; };"}' \
            >"$work/anchors"
    grep -q ' 257 3 13 ' "$work/anchors" || fail "$1: no ECDSA P-256 key (algorithm 13): $(cat "$work/anchors")"
}

update() {
    curl -s --max-time 10 -u alice:pw "http://127.0.0.1/nic/update?$1" >/dev/null
}

# 1. pdnsutil missing: a clear error, and the zone is served unsigned.
p=home.plain.example
out=$(zone secure plain.example --pdnsutil /nonexistent/pdnsutil 2>&1) &&
    fail "zone secure without pdnsutil succeeded: $out"
grep -q 'stays unsigned, and served' <<<"$out" || fail "no clear error without pdnsutil: $out"
update "hostname=$p&myip=192.0.2.50"
check_dns "$p" A 192.0.2.50
dig +dnssec @127.0.0.1 "$p" A | grep -q RRSIG && fail "$p is signed though pdnsutil was missing"
check_dns plain.example DNSKEY NODATA

# 2. Signed: cached unsigned answers go, and every change validates.
h=home.signed.example
update "hostname=$h&myip=192.0.2.1"
check_dns "$h" A 192.0.2.1
zone secure signed.example 2>"$work/secure.err" || fail "zone secure: $(cat "$work/secure.err")"
trust signed.example
"$server" host follow cam.signed.example $h --mac 00:1e:c2:12:34:56 --db "$work/names.db" 2>/dev/null ||
    fail "host follow"
# row WHY QUERY NAME TYPE EXPECTED
while IFS='|' read -r why query name type expected; do
    update "$query"
    validated "$name" "$type" "$expected" && echo "ok: signed: $why"
done <<EOF
the address before the change|hostname=$h&myip=192.0.2.1|$h|A|192.0.2.1
a new address|hostname=$h&myip=192.0.2.2|$h|A|192.0.2.2
IPv6 beside it|hostname=$h&myip=192.0.2.2,2001:db8::2|$h|AAAA|2001:db8::2
a wildcard answer|hostname=$h&myip=192.0.2.3&wildcard=ON|x.$h|A|192.0.2.3
a follower of the router's prefix|hostname=$h&myip=192.0.2.3&ipv6prefix=2001:db8:5::/64|cam.signed.example|AAAA|2001:db8:5:0:21e:c2ff:fe12:3456
the apex after the changes|hostname=$h&myip=192.0.2.3|signed.example|NS|ns1.signed.example.
EOF
got=$(delv @127.0.0.1 -a "$work/anchors" +root=signed.example "nobody.signed.example" A 2>&1)
grep -q 'negative response, fully validated' <<<"$got" ||
    fail "NXDOMAIN not validated: $(paste -sd' ' <<<"$got")"

# pdnsutil's own check, over the same file.
mkdir "$work/pdnsutil"
printf '%s\n' launch=gsqlite3 "gsqlite3-database=$work/names.db" gsqlite3-dnssec=yes \
    >"$work/pdnsutil/pdns.conf"
out=$(pdnsutil --config-dir="$work/pdnsutil" check-zone signed.example 2>&1) ||
    fail "pdnsutil check-zone: $out"
grep -q ' 0 errors' <<<"$out" || fail "pdnsutil check-zone: $out"

# 3. zone ds: SHA-256 DS of the algorithm 13 key; none for an unsigned zone.
zone ds signed.example >"$work/ds" 2>&1 || fail "zone ds: $(cat "$work/ds")"
grep -q '^signed\.example\. IN DS [0-9]* 13 2 [0-9a-f]\{64\}' "$work/ds" || fail "zone ds: $(cat "$work/ds")"
zone ds plain.example >/dev/null 2>&1 && fail "zone ds of an unsigned zone succeeded"

# 4. A zone added signed, and one that asked while pdnsutil was missing.
zone add new.example --dnssec 2>"$work/add.err" || fail "zone add --dnssec: $(cat "$work/add.err")"
trust new.example
validated new.example NS ns1.new.example. && echo "ok: zone add --dnssec"
zone secure --requested 2>"$work/requested.err" || fail "secure --requested: $(cat "$work/requested.err")"
trust plain.example
validated "$p" A 192.0.2.50 && echo "ok: secure --requested signs the zone that asked"
check_dns late.example DNSKEY NODATA # it never asked

summary
