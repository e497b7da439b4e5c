#!/usr/bin/env bash
# A certificate for a dynamic name and its wildcard, through DNS-01: lego
# sets the challenge's TXT through tovix-server's acme-dns call (POST
# /update, with the host's name and a token of it), PowerDNS serves it from the same
# database, and pebble (an ACME server for tests) validates it there and
# issues. Runs inside a private network namespace
# (tests/support/netns-run.sh): tovix-server on 127.0.0.1:80, pdns_server
# on 127.0.0.1:53, pebble on 127.0.0.1:14000.
# Usage: acme_test.sh PATH/TO/tovix-server
set -u
server=$1
. "$(dirname "$0")/../support/names-test.sh"

for tool in pebble lego openssl pdns_server dig; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (scripts/install-deps.sh)"; exit 1; }
done

host=home.tovix.example
names_test_begin "$server" --zone tovix.example --account "alice:pw:$host"
token=$("$server" token add "$host" --label lego --db "$work/names.db" 2>/dev/null) ||
    { echo "FAIL: token add"; exit 1; }

# pebble's own HTTPS: a throw-away certificate that lego is told to trust.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 \
    -subj /CN=localhost -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" \
    -keyout "$work/pebble.key" -out "$work/pebble.pem" 2>/dev/null || { echo "FAIL: openssl"; exit 1; }
cat >"$work/pebble.json" <<CONF
{"pebble": {"listenAddress": "127.0.0.1:14000", "managementListenAddress": "127.0.0.1:15000",
  "certificate": "$work/pebble.pem", "privateKey": "$work/pebble.key",
  "httpPort": 5002, "tlsPort": 5001, "ocspResponderURL": "", "externalAccountBindingRequired": false}}
CONF
PEBBLE_VA_NOSLEEP=1 PEBBLE_WFE_NONCEREJECT=0 pebble -config "$work/pebble.json" \
    -dnsserver 127.0.0.1:53 >"$work/pebble.out" 2>&1 &
pebble_pid=$!
trap 'kill $pebble_pid 2>/dev/null; wait $pebble_pid 2>/dev/null; names_test_end' EXIT
for _ in $(seq 200); do
    grep -q "Listening on" "$work/pebble.out" && break
    sleep 0.05
done
grep -q "Listening on" "$work/pebble.out" || { echo "FAIL: pebble did not start: $(cat "$work/pebble.out")"; exit 1; }

# Debian's lego is built without its acme-dns provider: its exec provider
# runs the hook tovix-server ships, which makes the same acme-dns call.
TOVIX_ACME_SERVER=http://127.0.0.1 TOVIX_ACME_TOKEN=$token \
    EXEC_PATH="$(dirname "$0")/../../server/acme/acme-dns-hook" \
    EXEC_PROPAGATION_TIMEOUT=30 EXEC_POLLING_INTERVAL=1 EXEC_SEQUENCE_INTERVAL=1 \
    LEGO_CA_CERTIFICATES="$work/pebble.pem" \
    timeout 120 lego --server https://127.0.0.1:14000/dir --accept-tos --email owner@example.org \
    --path "$work/lego" --dns exec --dns.resolvers 127.0.0.1:53 --dns.disable-cp \
    -d "$host" -d "*.$host" run </dev/null >"$work/lego.out" 2>&1 ||
    fail "lego exit status $?: $(tail -20 "$work/lego.out")"

cert=$work/lego/certificates/$host.crt
names=$(openssl x509 -in "$cert" -noout -ext subjectAltName 2>/dev/null | tail -n 1 | tr -d ' ')
[ "$names" = "DNS:*.$host,DNS:$host" ] || [ "$names" = "DNS:$host,DNS:*.$host" ] ||
    fail "certificate names '$names'"
[ "$(grep -c $'\tPOST\t/update\t.*\t200\t' "$work/requests.log")" -eq 2 ] ||
    fail "expected two challenge values set: $(grep POST "$work/requests.log")"
# Both values are served at once: a certificate for the name and its
# wildcard needs them together.
[ "$(dig +short @127.0.0.1 "_acme-challenge.$host" TXT | wc -l)" -eq 2 ] ||
    fail "TXT: $(dig +short @127.0.0.1 "_acme-challenge.$host" TXT)"
[ "$failures" -eq 0 ] && echo "ok: pebble issued a certificate for $host and *.$host"
summary
