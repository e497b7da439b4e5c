#!/usr/bin/env bash
# Whether PowerDNS caches an old answer again right after a purge, and whether
# giving each name twice in the command prevents it (bench/purge_race.py):
# tovix-server and pdns_server (server/dns/pdns.conf) over one SQLite file in
# a private network namespace; one update through tovix-server gives the host
# its A record, then the script changes the record itself and purges through
# PowerDNS's control socket, with queries arriving during the purge. Needs
# root and a host build of tovix-server.
#
#   bash bench/purge_race.sh [ROUNDS] [PATH/TO/tovix-server]    default 1000
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
rounds=${1:-1000}
server=${2:-$here/../build/host-release/tovix-server}
[ -x "$server" ] || server=$here/../build/host/tovix-server
server=$(realpath "$server")
if [ "${TOVIX_BENCH_IN_NETNS:-}" != 1 ]; then
    export TOVIX_BENCH_IN_NETNS=1
    exec unshare -n sh -c 'ip link set lo up && exec bash "$@"' bench "$0" "$rounds" "$server"
fi
. "$here/../tests/support/names-test.sh"
names_test_begin "$server"
host=home.tovix.example
got=$(curl -s -m 10 -u tovix:KoReL52 -A tovix-bench/1.0 \
    "http://127.0.0.1/nic/update?hostname=$host&myip=10.98.0.1")
[ "$got" = "good 10.98.0.1" ] || {
    echo "purge_race: the first update was answered '$got'" >&2
    exit 1
}
bash "$here/machine.sh" | sed -n 's/^\(cpu\|cores\|kernel\|os\|load\)=/\1: /p' | paste -sd';'
echo "pdns_server: $(pdns_server --version 2>&1 | sed -n 's/.*\(PowerDNS Authoritative Server [^ ]*\).*/\1/p' | head -1)"
python3 "$here/purge_race.py" "${work:?}" "$host" tovix.example "$rounds"
