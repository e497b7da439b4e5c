#!/usr/bin/env bash
# The web page in headless Chromium (web_test.py, Selenium), against
# tovix-server on 127.0.0.1:80 and PowerDNS, inside a private network
# namespace (tests/support/netns-run.sh). The built-in account signs in, and
# is made an operator for the operator's story; its second host follows the
# first one's prefix. Screenshots of "My hosts" in
# English and Chinese go to SHOTS_DIR. Exits 77 without chromium,
# chromium-driver or python3-selenium (scripts/install-deps.sh).
# Usage: web_test.sh PATH/TO/tovix-server SHOTS_DIR
set -u
server=$1
shots=$(realpath -m "$2")
. "$(dirname "$0")/../support/names-test.sh"
[ -x /usr/bin/chromium ] && [ -x /usr/bin/chromedriver ] && /usr/bin/python3 -c 'import selenium' ||
    { echo "skip: chromium, chromium-driver or python3-selenium is missing"; exit 77; }

names_test_begin "$server"
"$server" account admin tovix on --db "$work/names.db" || fail "account admin tovix on"
"$server" account hosts tovix home.tovix.example cam.tovix.example --db "$work/names.db" ||
    fail "account hosts tovix"
mkdir -p "$shots"
# Chromium keeps its profile under HOME.
HOME=$work WEB_BASE=http://127.0.0.1 DNS_ADDRESS=$PDNS_ADDRESS SHOTS=$shots \
    /usr/bin/python3 "$(dirname "$0")/web_test.py" || fail "the browser story"
for lang in en zh; do
    [ -s "$shots/web-my-hosts-$lang.png" ] || fail "no screenshot $shots/web-my-hosts-$lang.png"
done
[ "$failures" -eq 0 ] || tail -n 20 "$work/server.err"
summary
