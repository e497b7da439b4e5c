#!/usr/bin/env bash
# Durability of tovix-server under SIGKILL.
#
#   tests/stress/server-kill.sh SERVER [UPDATES_PER_LOOP [LOOPS [KILLS [HOSTS]]]]
#   defaults:                           150               4      3      50
#
# Starts SERVER on a free loopback port with a temporary database and one
# account owning HOSTS host names. LOOPS parallel curl loops each send
# UPDATES_PER_LOOP updates; a loop has its own hosts, and every update gives
# its host a new address, so for each host a later update means a later
# address. While the updates stream in, the server is killed with SIGKILL
# KILLS times (each time a further share of the updates has been sent) and
# restarted on the same port and database; at the end it is killed once
# more. Then `SERVER list` must show, for every update that was answered
# "good", that update's address or a later one of the same host.
#
# Prints "N updates answered good, N found after K kills" and fails when the
# two differ, when a stored address was never sent, or when an answer other
# than "good" (or none, while the server was down) came back.
set -euo pipefail

if (($# < 1)); then
    echo "usage: $0 SERVER [UPDATES_PER_LOOP [LOOPS [KILLS [HOSTS]]]]" >&2
    exit 2
fi
server=$(realpath "$1")
per_loop=${2:-150}
loops=${3:-4}
kills=${4:-3}
hosts=${5:-50}
time_limit=${STRESS_TIME_LIMIT:-50} # seconds, for the whole run
if ((hosts < loops)); then
    echo "$0: need at least one host per loop" >&2
    exit 2
fi
if ((per_loop > 65536)); then
    echo "$0: at most 65536 updates per loop" >&2
    exit 2
fi

tmp=$(mktemp -d)
server_pid=
worker_pids=()
cleanup() {
    touch "$tmp/stop"
    for pid in "${worker_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [[ -n $server_pid ]]; then
        kill -KILL "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT

fail() {
    echo "server-kill: FAIL: $*" >&2
    if [[ -f $tmp/server.log ]]; then
        echo "--- last lines of the server's log:" >&2
        grep -v '	GET	' "$tmp/server.log" | tail -10 >&2 || true
    fi
    exit 1
}

over_time() {
    ((SECONDS >= time_limit))
}

db=$tmp/records.db
. "$(dirname "$0")/../support/accounts.sh"
user=stress
password=s3cret
host_list=
for ((h = 0; h < hosts; h++)); do
    host_list+="${host_list:+,}h$h.stress.example"
done
account_add "$server" "$db" "$user:$password:$host_list" || fail "cannot add the account"

# Starts the server on port $1 (0: a free one) and sets $server_pid and $port.
start_server() {
    local want=$1 before
    before=$(grep -c 'listening on' "$tmp/server.log" 2>/dev/null || true)
    "$server" --listen "127.0.0.1:$want" --db "$db" \
        --zone stress.example 2>>"$tmp/server.log" &
    server_pid=$!
    local started=$SECONDS
    while (($(grep -c 'listening on' "$tmp/server.log" 2>/dev/null || true) <= before)); do
        kill -0 "$server_pid" 2>/dev/null || fail "the server exited while starting"
        ((SECONDS - started < 10)) || fail "the server did not start within 10 s"
        sleep 0.01
    done
    port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$tmp/server.log" | tail -1)
}

# One loop of updates: hosts L, L+LOOPS, L+2*LOOPS, ...; address 10.L.x.y
# numbers the update. Logs "host update address" of each update sent, and
# of each answered "good".
worker() {
    local loop=$1 i h addr answer
    local mine=$(((hosts - 1 - loop) / loops + 1)) # hosts of this loop
    for ((i = 0; i < per_loop; i++)); do
        [[ -e $tmp/stop ]] && return 0
        h=$((loop + loops * (i % mine)))
        addr="10.$loop.$((i / 256)).$((i % 256))"
        echo "$h $i $addr" >>"$tmp/sent.$loop"
        answer=$(curl -s --connect-timeout 1 -m 3 -u "$user:$password" -A "tovix-stress/1.0" \
            "http://127.0.0.1:$port/nic/update?hostname=h$h.stress.example&myip=$addr" \
            2>/dev/null) || answer=
        case $answer in
        "good $addr") echo "$h $i $addr" >>"$tmp/good.$loop" ;;
        "")
            echo "$h $i $addr" >>"$tmp/lost.$loop"
            sleep 0.02 # the server is down: let it come back
            ;;
        *) echo "$h $i $addr ${answer//$'\n'/|}" >>"$tmp/other.$loop" ;;
        esac
    done
}

count() {
    { cat "$tmp"/"$1".* 2>/dev/null || true; } | wc -l
}

workers_running() {
    local pid
    for pid in "${worker_pids[@]}"; do
        kill -0 "$pid" 2>/dev/null && return 0
    done
    return 1
}

: >"$tmp/server.log"
start_server 0
echo "server-kill: $server on 127.0.0.1:$port, $loops loops x $per_loop updates," \
    "$hosts hosts, $kills kills"

for ((l = 0; l < loops; l++)); do
    worker "$l" &
    worker_pids+=($!)
done

total=$((loops * per_loop))
killed=0
for ((k = 1; k <= kills; k++)); do
    mark=$((total * k / (kills + 1)))
    while (($(count sent) < mark)) && workers_running; do
        over_time && fail "time limit of ${time_limit}s reached with $(count sent) of $total sent"
        sleep 0.01
    done
    kill -KILL "$server_pid"
    wait "$server_pid" 2>/dev/null || true
    killed=$((killed + 1))
    sleep 0.1 # a few updates find no server
    start_server "$port"
done

for pid in "${worker_pids[@]}"; do
    while kill -0 "$pid" 2>/dev/null; do
        over_time && fail "time limit of ${time_limit}s reached with $(count sent) of $total sent"
        sleep 0.05
    done
    wait "$pid" || fail "an update loop failed"
done
worker_pids=()

kill -KILL "$server_pid"
wait "$server_pid" 2>/dev/null || true
server_pid=
killed=$((killed + 1))

"$server" list --db "$db" >"$tmp/list" 2>"$tmp/list.err" ||
    fail "tovix-server list: $(cat "$tmp/list.err")"

good=$(count good)
lost=$(count lost)
other=$(count other)
cat "$tmp"/sent.* >"$tmp/all-sent"
cat "$tmp"/good.* >"$tmp/all-good" 2>/dev/null || : >"$tmp/all-good"
# For every good update: the host's stored address must be one that was sent
# for that host, by this update or a later one.
result=$(awk -v user="$user" '
    FILENAME == ARGV[1] { seq[$1 " " $3] = $2; next }
    FILENAME == ARGV[2] {
        if (FNR == 1) next
        split($0, f, "\t")
        h = f[1]; sub(/^h/, "", h); sub(/\.stress\.example$/, "", h)
        stored[h] = f[3]; owner[h] = f[2]; next
    }
    {
        if (!($1 in stored)) { missing++; if (missing <= 5) print "missing: host h" $1 " update " $2 > "/dev/stderr"; next }
        key = $1 " " stored[$1]
        if (!(key in seq)) { unknown++; print "unknown address " stored[$1] " for host h" $1 > "/dev/stderr"; next }
        if (owner[$1] != user) { badowner++; next }
        if (seq[key] >= $2) found++
        else { stale++; if (stale <= 5) print "stale: host h" $1 " holds update " seq[key] ", update " $2 " was answered good" > "/dev/stderr" }
    }
    END { printf "%d %d %d %d %d\n", found, missing, unknown, stale, badowner }
' "$tmp/all-sent" "$tmp/list" "$tmp/all-good")
read -r found missing unknown stale badowner <<<"$result"
records=$(($(wc -l <"$tmp/list") - 1))

echo "server-kill: $(count sent) updates sent: $good good, $lost unanswered, $other other answers;" \
    "$records records stored"
echo "$good updates answered good, $found found after $killed kills"

if ((other > 0)); then
    head -5 "$tmp"/other.* >&2
    fail "$other updates got an answer other than good"
fi
((good > 0)) || fail "no update was answered good"
((missing == 0 && unknown == 0 && stale == 0 && badowner == 0 && found == good)) ||
    fail "$missing missing, $unknown unknown addresses, $stale stale, $badowner wrong account"
