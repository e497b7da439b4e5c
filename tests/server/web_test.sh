#!/usr/bin/env bash
# The web page in headless Chromium (web_test.py, Selenium), against
# tovix-server on 127.0.0.1:80 and PowerDNS, inside a private network
# namespace (tests/support/netns-run.sh). The built-in account signs in, and
# is made an operator for the operator's story; its second host follows the
# first one's prefix. Every page is checked by
# axe-core (tests/server/axe, from npm) in English and Chinese at desktop
# and phone width, and its screenshots go to SHOTS_DIR. Exits 77 without
# chromium, chromium-driver or python3-selenium; fails without axe-core
# (scripts/install-deps.sh installs all of them).
# Usage: web_test.sh PATH/TO/tovix-server SHOTS_DIR
set -u
server=$1
shots=$(realpath -m "$2")
. "$(dirname "$0")/../support/names-test.sh"
[ -x /usr/bin/chromium ] && [ -x /usr/bin/chromedriver ] && /usr/bin/python3 -c 'import selenium' ||
    { echo "skip: chromium, chromium-driver or python3-selenium is missing"; exit 77; }
axe=$(dirname "$0")/axe/node_modules/axe-core/axe.min.js
[ -s "$axe" ] || { echo "FAIL: no $axe: run scripts/install-deps.sh"; exit 1; }

names_test_begin "$server"
"$server" account admin tovix on --db "$work/names.db" >/dev/null || fail "account admin tovix on"
"$server" account hosts tovix home.tovix.example cam.tovix.example --db "$work/names.db" >/dev/null ||
    fail "account hosts tovix"
mkdir -p "$shots"
# A second server, on every address, where the sign-in form is refused over
# plain HTTP: the tour looks at that page too. Behind a TLS proxy (here
# curl on loopback, trusted, saying X-Forwarded-Proto: https) it is offered.
"$server" --db "$work/plain.db" --listen 0.0.0.0:8080 --no-default-account \
    --trusted-proxy 127.0.0.1 2>"$work/plain.err" &
plain_pid=$!
trap 'kill "$plain_pid" 2>/dev/null; wait "$plain_pid" 2>/dev/null; names_test_end' EXIT
for _ in $(seq 200); do
    grep -q listening "$work/plain.err" 2>/dev/null && break
    sleep 0.05
done
printf 'proxied-pw\n' | "$server" account add pat pat.tovix.example --db "$work/plain.db" >/dev/null ||
    fail "account add pat"
# Chromium keeps its profile under HOME.
HOME=$work WEB_BASE=http://127.0.0.1 PLAIN_BASE=http://127.0.0.1:8080 DNS_ADDRESS=$PDNS_ADDRESS SHOTS=$shots AXE=$axe \
    /usr/bin/python3 "$(dirname "$0")/web_test.py" || fail "the browser story"
for lang in en zh; do
    for width in desktop phone; do
        for page in signin my-hosts host accounts server; do
            file=$shots/web-$page-$lang-$width.png
            [ -s "$file" ] || fail "no screenshot $file"
        done
    done
done
[ "$failures" -eq 0 ] || tail -n 20 "$work/server.err"
summary
