#!/usr/bin/env bash
# The real tovix-server binary: an update over curl must be on disk, with its
# history entry, once the answer "good" arrived, even if the server is
# SIGKILLed right after; last seen is lost for at most its interval. Also
# checks exit statuses: bad option 2, busy port 1, SIGTERM 0.
# Usage: process_test.sh PATH/TO/tovix-server
set -u
server=$1
. "$(dirname "$0")/../support/accounts.sh"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/tovix-server-process.XXXXXX")
pid=
cleanup() {
    [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    for f in "$tmp"/*.err; do [ -f "$f" ] && { echo "--- $f" >&2; cat "$f" >&2; }; done
    exit 1
}

# start NAME ARGS...: runs the server on a free loopback port, sets $pid and $port.
start() {
    name=$1
    shift
    "$server" --listen 127.0.0.1:0 "$@" 2>"$tmp/$name.err" &
    pid=$!
    port=
    i=0
    while [ $i -lt 100 ]; do
        port=$(sed -n 's/^tovix-server: listening on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$tmp/$name.err")
        [ -n "$port" ] && return 0
        kill -0 "$pid" 2>/dev/null || fail "$name exited early"
        sleep 0.1
        i=$((i + 1))
    done
    fail "$name did not start listening"
}

db=$tmp/records.db
log=$tmp/requests.log
account_add "$server" "$db" 'alice:Pa55:w0rd:home.example' || fail "account add"
start first --db "$db" --log-requests "$log" --zone example.org --zone home.example \
    --activity-interval 1

update() {
    curl -s --max-time 10 -u 'alice:Pa55:w0rd' -A 'tovix-process-test/1.0' \
        "http://127.0.0.1:$port/nic/update?hostname=home.example&myip=$1"
}
answer=$(update 192.0.2.44)
[ "$answer" = "good 192.0.2.44" ] || fail "answer was '$answer'"
# Last seen is written within the interval (a nochg included); a change is
# on disk with its answer, even when the server is killed before its next
# write of last seen.
[ "$(update 192.0.2.44)" = "nochg 192.0.2.44" ] || fail "no nochg"
for _ in $(seq 100); do
    "$server" list --db "$db" | grep -q $'\t[0-9TZ:-]* from 127.0.0.1 (tovix-process-test/1.0)\t' &&
        break
    sleep 0.1
done
[ "$(update 192.0.2.45)" = "good 192.0.2.45" ] || fail "second update"
kill -KILL "$pid"
wait "$pid" 2>/dev/null
pid=

listing=$("$server" list --db "$db") || fail "list failed"
echo "$listing" | head -n 1 |
    grep -q '^host	account	ipv4	ipv6	wildcard	mx	backmx	offline	updated	last seen	faults$' ||
    fail "bad header: $listing"
echo "$listing" | grep -Eq '^home\.example	alice	192\.0\.2\.45	-	OFF	-	NO	NO	[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z	[0-9TZ:-]+ from 127.0.0.1 \(tovix-process-test/1.0\)	-$' ||
    fail "record or last seen missing after SIGKILL: $listing"
[ "$("$server" history home.example --db "$db" | cut -f2-4 | paste -sd'|')" = \
    "what	before	after|address	A=192.0.2.44	A=192.0.2.45|new	A=-	A=192.0.2.44|owner	-	account alice" ] ||
    fail "history after SIGKILL: $("$server" history home.example --db "$db")"

grep -q '	GET	/nic/update?hostname=home.example&myip=192.0.2.45	tovix-process-test/1.0	alice	200	good 192.0.2.45$' "$log" ||
    fail "log line missing: $(cat "$log")"
grep -q 'Pa55' "$log" "$tmp/first.err" && fail "password logged"

# Bad option: exit status 2 with a message.
"$server" --no-such-option 2>"$tmp/usage.err"
status=$?
[ $status -eq 2 ] || fail "bad option exit status $status"
grep -q 'no-such-option' "$tmp/usage.err" || fail "no message for a bad option"

# An account host outside every served zone is named at start.
account_add "$server" "$tmp/outside.db" 'carol:pw:x.nowhere.example' || fail "account add"
start outside --db "$tmp/outside.db"
grep -q '^tovix-server: x.nowhere.example (account carol) lies outside every served zone' \
    "$tmp/outside.err" ||
    fail "no word about a host outside the zones"
kill -TERM "$pid"
wait "$pid"
pid=

# A busy port: exit status 1.
start second --db "$db"
"$server" --listen "127.0.0.1:$port" --db "$tmp/other.db" 2>"$tmp/busy.err"
status=$?
[ $status -eq 1 ] || fail "busy port exit status $status"
grep -q 'cannot listen' "$tmp/busy.err" || fail "no message for a busy port"

# SIGTERM: clean stop, exit status 0; the record is still there.
answer=$(curl -s --max-time 10 -u 'alice:Pa55:w0rd' -A 't/1' \
    "http://127.0.0.1:$port/nic/update?hostname=home.example&myip=192.0.2.44")
# Accounts live in the database: alice still gets in, but this server does
# not serve her zone.
[ "$answer" = "nohost" ] || fail "alice's account should outlive the restart: '$answer'"
kill -TERM "$pid"
wait "$pid"
status=$?
pid=
[ $status -eq 0 ] || fail "SIGTERM exit status $status"
"$server" list --db "$db" | grep -q '^home\.example	alice	192\.0\.2\.45	' || fail "record lost"

# The account commands: the password from standard input, never an argument.
acc=$tmp/accounts.db
printf 'first\n' | "$server" account add dave dave.home.example --db "$acc" >"$tmp/add.out" ||
    fail "account add"
[ "$(cat "$tmp/add.out")" = "account dave added (hosts: dave.home.example) in $acc" ] ||
    fail "account add said '$(cat "$tmp/add.out")'"
# list: one line per host an account owns, one never updated too.
"$server" list --db "$acc" | grep -q $'^dave\.home\.example\tdave\t-\t-\tOFF\t-\tNO\tNO\t-\t' ||
    fail "list leaves out a host never updated: $("$server" list --db "$acc")"
# Commands without --db open ./tovix-server.db only when it is there; a new
# account's name is of letters, digits and . _ - @; a host nobody owns has
# no tokens or history to show.
server_path=$(realpath "$server")
(cd "$tmp" && printf 'longenough\n' | "$server_path" account add zed z.home.example 2>"$tmp/nodb.err") &&
    fail "account add without --db was taken"
[ -e "$tmp/tovix-server.db" ] && fail "account add without --db made ./tovix-server.db"
grep -q 'no database tovix-server.db here' "$tmp/nodb.err" || fail "no word: $(cat "$tmp/nodb.err")"
for name in 'Bad Name' 'semi;colon' 'ünï' '.dot' "$(printf 'x%.0s' $(seq 65))"; do
    printf 'longenough\n' | "$server" account add "$name" n.home.example --db "$acc" 2>"$tmp/name.err"
    status=$?
    [ $status -eq 2 ] && grep -q 'letters a-z and A-Z, digits' "$tmp/name.err" ||
        fail "account add '$name': status $status, $(cat "$tmp/name.err")"
done
for verb in "token list" history; do
    "$server" $verb nobody.home.example --db "$acc" >/dev/null 2>"$tmp/nohost.err" &&
        fail "$verb of a host nobody owns exits 0"
    grep -q "no account owns nobody.home.example in $acc" "$tmp/nohost.err" ||
        fail "$verb: $(cat "$tmp/nohost.err")"
done
[ "$("$server" --version)" = "tovix-server $(sed -n 's/^project(Tovix VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")" ] ||
    fail "--version said '$("$server" --version)'"
printf 'again\n' | "$server" account add dave other.home.example --db "$acc" 2>"$tmp/dup.err" &&
    fail "a second add of dave was taken"
grep -q 'exists already' "$tmp/dup.err" || fail "no word about dave existing"
"$server" account add erin erin.home.example --db "$acc" </dev/null 2>"$tmp/nopw.err" &&
    fail "an account without a password was taken"
"$server" account hosts erin erin.home.example --db "$acc" 2>/dev/null && fail "hosts of nobody"
start accounts --db "$acc" --zone home.example --no-default-account
update() { # USER PASSWORD: the answer for USER's host
    curl -s --max-time 10 -u "$1:$2" -A 'tovix-process-test/1.0' \
        "http://127.0.0.1:$port/nic/update?hostname=$1.home.example&myip=192.0.2.7"
}
[ "$(update dave first)" = "good 192.0.2.7" ] || fail "dave's first update"
[ "$(update tovix KoReL52)" = "badauth" ] || fail "--no-default-account still made tovix"
printf 'second\n' | "$server" account passwd dave --db "$acc" || fail "account passwd"
printf 'pw\n' | "$server" account add erin erin.home.example --admin --db "$acc" || fail "add erin"
sleep 0.5 # the running server looks for changes every 200 ms
[ "$(update dave first)" = "badauth" ] || fail "the old password still works"
[ "$(update dave second)" = "nochg 192.0.2.7" ] || fail "the new password does not"
[ "$(update erin pw)" = "good 192.0.2.7" ] || fail "erin, added while running"
"$server" account admin dave on --db "$acc" && "$server" account admin erin off --db "$acc" ||
    fail "account admin"
"$server" account admin nobody on --db "$acc" 2>/dev/null && fail "admin of nobody"
"$server" account list --db "$acc" >"$tmp/list.out" || fail "account list"
[ "$(sed 1d "$tmp/list.out" | paste -sd'|')" = $'dave\tdave.home.example\tyes|erin\terin.home.example\tno' ] ||
    fail "list: $(cat "$tmp/list.out")"
"$server" account remove erin --db "$acc" || fail "account remove"
sleep 0.5
[ "$(update erin pw)" = "badauth" ] || fail "erin, removed, still updates"
grep -qa 'second\|first' "/proc/$pid/cmdline" && fail "a password on the command line"
kill -TERM "$pid"
wait "$pid"
pid=

# HTTPS, beside plain HTTP.
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout "$tmp/key.pem" \
    -out "$tmp/cert.pem" 2>/dev/null || fail "openssl could not make a certificate"
start tls --db "$acc" --zone home.example --listen-tls 127.0.0.1:0 --tls-cert "$tmp/cert.pem" \
    --tls-key "$tmp/key.pem"
tls_port=$(sed -n 's/.*HTTPS on 127\.0\.0\.1:\([0-9]*\),.*/\1/p' "$tmp/tls.err")
[ -n "$tls_port" ] || fail "no HTTPS port"
answer=$(curl -sk --max-time 10 -u dave:second -A 't/1' \
    "https://127.0.0.1:$tls_port/nic/update?hostname=dave.home.example&myip=192.0.2.8")
[ "$answer" = "good 192.0.2.8" ] || fail "HTTPS update: '$answer'"
cookie=$(curl -sk --max-time 10 -o /dev/null -D - -d 'user=dave&password=second' \
    "https://127.0.0.1:$tls_port/signin" | tr -d '\r' | sed -n 's/^Set-Cookie: //p')
[[ "$cookie" =~ ^__Host-tovix_session=[0-9a-f]{64}\;\ Path=/\;\ HttpOnly\;\ SameSite=Strict\;\ Secure$ ]] ||
    fail "the web page's session cookie over HTTPS: '$cookie'"
kill -TERM "$pid"
wait "$pid"
pid=

# What cannot work is said before anything listens, with exit status 1.
for args in "--tls-cert $tmp/none.pem --tls-key $tmp/key.pem --db $acc" \
    "--tls-cert $tmp/key.pem --tls-key $tmp/cert.pem --db $acc" "--db $tmp/no/such/dir/x.db"; do
    # shellcheck disable=SC2086
    "$server" --listen 127.0.0.1:0 $args 2>"$tmp/start.err"
    status=$?
    [ $status -eq 1 ] || fail "start with $args: exit status $status"
    grep -q '^tovix-server: ' "$tmp/start.err" || fail "start with $args: no message"
    grep -q 'listening' "$tmp/start.err" && fail "start with $args: it listened first"
done

echo "process test passed"
