#!/usr/bin/env bash
# tovix-server's metrics as Prometheus sees them, its monitor listener's
# refusals, and `tovix-server check`. Runs inside a private network namespace
# (tests/support/netns-run.sh): tovix-server on 127.0.0.1:80 with
# --metrics-listen 127.0.0.1:9161, pdns_server on 127.0.0.1:53, and Debian's
# prometheus on 127.0.0.1:9090 scraping tovix-server every second.
# Usage: metrics_test.sh PATH/TO/tovix-server
set -u
server=$1
. "$(dirname "$0")/../support/names-test.sh"

for tool in prometheus promtool pdns_server curl openssl; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool is not installed (scripts/install-deps.sh)"; exit 1; }
done

names_test_begin "$server" --zone dyn.example --account 'alice:pw:a.dyn.example,b.dyn.example' \
    --metrics-listen 127.0.0.1:9161
prometheus_pid=
trap '[ -n "$prometheus_pid" ] && kill "$prometheus_pid" 2>/dev/null && wait "$prometheus_pid"; names_test_end' EXIT

# ---- Prometheus scrapes tovix-server and reads the updates back.
cat >"$work/prometheus.yml" <<CONF
global:
  scrape_interval: 1s
scrape_configs:
  - job_name: tovix
    static_configs:
      - targets: ['127.0.0.1:9161']
CONF
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address=127.0.0.1:9090 >"$work/prometheus.log" 2>&1 &
prometheus_pid=$!
for ip in 192.0.2.1 192.0.2.2 192.0.2.3; do
    curl -s -u alice:pw -A metrics-test/1 \
        "http://127.0.0.1/nic/update?hostname=a.dyn.example,b.dyn.example&myip=$ip" >/dev/null
done
# 3 requests of 2 hosts each, every one changing both: 6 good.
query='tovix_updates_total{result="good"}'
seen=
for _ in $(seq 300); do
    seen=$(curl -s -G --data-urlencode "query=$query" http://127.0.0.1:9090/api/v1/query |
        python3 -c 'import json,sys; r=json.load(sys.stdin)["data"]["result"]; print(r[0]["value"][1] if r else "")' 2>/dev/null)
    [ "$seen" = 6 ] && break
    sleep 0.1
done
[ "$seen" = 6 ] && echo "ok: Prometheus reads $query = 6" ||
    fail "Prometheus reads $query = '$seen', expected 6 ($(tail -3 "$work/prometheus.log"))"

curl -s http://127.0.0.1:9161/metrics >"$work/metrics.txt"
promtool check metrics <"$work/metrics.txt" >"$work/promtool.out" 2>&1 &&
    echo "ok: promtool check metrics" || fail "promtool check metrics: $(cat "$work/promtool.out")"

# ---- The monitor's listener answers two paths, without a query.
while read -r target expected; do
    got=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:9161$target")
    [ "$got" = "$expected" ] || fail "GET $target on the metrics listener: $got, expected $expected"
done <<'ROWS'
/metrics 200
/healthz 200
/metrics?name=x 404
/healthz? 404
/ 404
/nic/update 404
ROWS
[ "$(curl -s http://127.0.0.1/metrics -o /dev/null -w '%{http_code}')" = 404 ] ||
    fail "the public listener serves /metrics"

# A metrics address beyond loopback is taken, with a warning.
"$server" --listen 127.0.0.1:8081 --db "$work/other.db" --metrics-listen 0.0.0.0:0 \
    2>"$work/other.err" &
other=$!
for _ in $(seq 200); do
    grep -q listening "$work/other.err" && break
    sleep 0.05
done
kill "$other"
wait "$other"
grep -q 'warning: --metrics-listen 0.0.0.0:0 is no loopback or private' "$work/other.err" &&
    grep -q 'listening' "$work/other.err" || fail "public metrics address: $(cat "$work/other.err")"

# ---- tovix-server check: a table of cases, each its exit status and lines.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=t -days 30 \
    -keyout "$work/good.key" -out "$work/good.crt" 2>/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=t -days 5 \
    -keyout "$work/other.key" -out "$work/soon.crt" 2>/dev/null
printf 'KoReL52\n' | "$server" account add tovix home.tovix.example --db "$work/builtin.db" >/dev/null
cp "$work/names.db" "$work/open.db"
chmod 644 "$work/open.db"
db=$work/names.db
# Each row: exit status | a line the output must hold | the arguments.
while IFS='|' read -r status line args; do
    eval "set -- $args"
    out=$("$server" check "$@" 2>&1)
    got=$?
    [ "$got" = "$status" ] && grep -qF -- "$line" <<<"$out" ||
        fail "check $args: exit $got, expected $status with '$line':"$'\n'"$out"
done <<ROWS
0|ok   PowerDNS at 127.0.0.1:53 answers the serial of dyn.example|--db $db --zone dyn.example --dns 127.0.0.1:53
0|ok   database file mode is 0600|--db $db
1|FAIL zone not.served.example has SOA and NS: not in the database|--db $db --zone not.served.example
1|FAIL PowerDNS at 127.0.0.1:5300 answers the serial of dyn.example: no answer|--db $db --dns 127.0.0.1:5300
1|FAIL database file mode is 0600: it is 0644|--db $work/open.db
1|FAIL database $work/missing.db opens: no such file|--db $work/missing.db --zone dyn.example
1|FAIL no built-in account on a listener beyond loopback|--db $work/builtin.db --listen 0.0.0.0:80
1|ok   key $work/good.key matches the certificate|--db $db --tls-cert $work/good.crt --tls-key $work/good.key --zone not.served.example
0|ok   certificate $work/good.crt valid for 14 days or more|--db $db --tls-cert $work/good.crt --tls-key $work/good.key
1|FAIL certificate $work/soon.crt valid for 14 days or more: |--db $db --tls-cert $work/soon.crt
1|FAIL key $work/other.key matches the certificate|--db $db --tls-cert $work/good.crt --tls-key $work/other.key
ROWS
[ -e "$work/missing.db" ] && fail "check made $work/missing.db"
"$server" check --db "$work/builtin.db" --listen 127.0.0.1:80 | grep -q '^ok   no built-in account' ||
    fail "check: the built-in account on loopback alone"
[ "$failures" -eq 0 ] && echo "ok: tovix-server check"
summary
