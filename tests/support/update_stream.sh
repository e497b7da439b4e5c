# shellcheck shell=bash
# A stream of updates for the durability tests (sourced by bash): parallel
# loops of curl, each loop with hosts of its own, each update a new address
# of its host, so for each host a later update means a later address; and
# the check of what the server stored against what was answered.
#
# Set before use:
#   STREAM_DIR       where the logs go (sent.L, good.L, lost.L, other.L;
#                    each line "host update address [answer]"); a file
#                    STREAM_DIR/stop ends every loop at its next update
#   STREAM_USER, STREAM_PASSWORD   the account owning the hosts
#   STREAM_ZONE      hosts are hN.STREAM_ZONE, N from 0 to STREAM_HOSTS-1
#   STREAM_HOSTS, STREAM_LOOPS, STREAM_PER_LOOP (stream_sizes sets them)
#   STREAM_PORTS     loopback ports (words): update I of a loop goes to the
#                    (I mod count)-th, so every host is updated through each

# stream_sizes UPDATES_PER_LOOP LOOPS HOSTS: sets STREAM_PER_LOOP,
# STREAM_LOOPS and STREAM_HOSTS; 1 (with a message) when the addresses
# 10.L.x.y cannot number them or a loop would have no host.
stream_sizes() {
    STREAM_PER_LOOP=$1 STREAM_LOOPS=$2 STREAM_HOSTS=$3
    if ((STREAM_HOSTS < STREAM_LOOPS || STREAM_LOOPS > 250 || STREAM_PER_LOOP > 65536)); then
        echo "$0: need at least one host per loop, at most 250 loops and 65536 updates per loop" >&2
        return 1
    fi
}

# stream_hosts: the host names, comma-separated (for account_add).
stream_hosts() {
    local h list=
    for ((h = 0; h < STREAM_HOSTS; h++)); do
        list+="${list:+,}h$h.$STREAM_ZONE"
    done
    echo "$list"
}

# stream_worker L: loop L's updates of hosts L, L+LOOPS, L+2*LOOPS, ...; the
# address 10.L.x.y numbers the update.
stream_worker() {
    local loop=$1 i h addr answer port
    local mine=$(((STREAM_HOSTS - 1 - loop) / STREAM_LOOPS + 1)) # hosts of this loop
    local ports
    read -r -a ports <<<"$STREAM_PORTS"
    for ((i = 0; i < STREAM_PER_LOOP; i++)); do
        [[ -e $STREAM_DIR/stop ]] && return 0
        h=$((loop + STREAM_LOOPS * (i % mine)))
        addr="10.$loop.$((i / 256)).$((i % 256))"
        port=${ports[i % ${#ports[@]}]}
        echo "$h $i $addr" >>"$STREAM_DIR/sent.$loop"
        answer=$(curl -s --connect-timeout 1 -m 3 -u "$STREAM_USER:$STREAM_PASSWORD" \
            -A "tovix-stress/1.0" \
            "http://127.0.0.1:$port/nic/update?hostname=h$h.$STREAM_ZONE&myip=$addr" \
            2>/dev/null) || answer=
        case $answer in
        "good $addr") echo "$h $i $addr" >>"$STREAM_DIR/good.$loop" ;;
        "")
            echo "$h $i $addr" >>"$STREAM_DIR/lost.$loop"
            sleep 0.02 # the server is down: let it come back
            ;;
        *) echo "$h $i $addr ${answer//$'\n'/|}" >>"$STREAM_DIR/other.$loop" ;;
        esac
    done
}

# stream_start: starts the loops in the background, their pids in
# STREAM_PIDS.
stream_start() {
    local l
    STREAM_PIDS=()
    for ((l = 0; l < STREAM_LOOPS; l++)); do
        stream_worker "$l" &
        STREAM_PIDS+=($!)
    done
}

# stream_stop: ends the loops (at their next update) and reaps them.
stream_stop() {
    local pid
    [[ -n ${STREAM_DIR:-} && -d $STREAM_DIR ]] && touch "$STREAM_DIR/stop"
    for pid in "${STREAM_PIDS[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    STREAM_PIDS=()
}

stream_running() {
    local pid
    for pid in "${STREAM_PIDS[@]}"; do
        kill -0 "$pid" 2>/dev/null && return 0
    done
    return 1
}

# stream_wait_sent N DEADLINE: waits until N updates were sent or the loops
# ended; 1 once $SECONDS reaches DEADLINE.
stream_wait_sent() {
    while (($(stream_count sent) < $1)) && stream_running; do
        ((SECONDS < $2)) || return 1
        sleep 0.01
    done
}

# stream_wait DEADLINE: waits for the loops to end; 1 once $SECONDS reaches
# DEADLINE, 2 when a loop failed.
stream_wait() {
    local pid
    for pid in "${STREAM_PIDS[@]}"; do
        while kill -0 "$pid" 2>/dev/null; do
            ((SECONDS < $1)) || return 1
            sleep 0.05
        done
        wait "$pid" || return 2
    done
    STREAM_PIDS=()
}

# stream_count KIND: how many updates the logs of KIND (sent, good, lost,
# other) hold.
stream_count() {
    { cat "$STREAM_DIR"/"$1".* 2>/dev/null || true; } | wc -l
}

# stream_check LIST: compares LIST (the output of `tovix-server list`) with
# the logs: for every update answered good, the host must store that
# update's address or a later one of the same host, under STREAM_USER.
# Prints "found missing unknown stale badowner" (counts of good updates;
# the first few faults on stderr).
stream_check() {
    cat "$STREAM_DIR"/sent.* >"$STREAM_DIR/all-sent"
    cat "$STREAM_DIR"/good.* >"$STREAM_DIR/all-good" 2>/dev/null || : >"$STREAM_DIR/all-good"
    awk -v user="$STREAM_USER" -v zone=".$STREAM_ZONE" '
        FILENAME == ARGV[1] { seq[$1 " " $3] = $2; next }
        FILENAME == ARGV[2] {
            if (FNR == 1) next
            split($0, f, "\t")
            if (substr(f[1], 1, 1) != "h" || substr(f[1], length(f[1]) - length(zone) + 1) != zone) next
            h = substr(f[1], 2, length(f[1]) - 1 - length(zone))
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
    ' "$STREAM_DIR/all-sent" "$1" "$STREAM_DIR/all-good"
}

# stream_verdict LIST: counts the logs into STREAM_SENT, STREAM_GOOD,
# STREAM_LOST (no answer) and STREAM_OTHER, and STREAM_FOUND, the good updates
# LIST holds (stream_check); 1, with the fault in STREAM_FAULT, when an update
# got an answer other than good, when none was good, or when a good one is
# not in LIST.
stream_verdict() {
    local result missing unknown stale badowner
    STREAM_SENT=$(stream_count sent) STREAM_GOOD=$(stream_count good)
    STREAM_LOST=$(stream_count lost) STREAM_OTHER=$(stream_count other)
    STREAM_FAULT=
    result=$(stream_check "$1") || {
        STREAM_FAULT="cannot compare $1 with what was sent"
        return 1
    }
    read -r STREAM_FOUND missing unknown stale badowner <<<"$result"
    if ((STREAM_OTHER > 0)); then
        head -5 "$STREAM_DIR"/other.* >&2
        STREAM_FAULT="$STREAM_OTHER updates got an answer other than good"
    elif ((STREAM_GOOD == 0)); then
        STREAM_FAULT="no update was answered good"
    elif ((missing + unknown + stale + badowner > 0 || STREAM_FOUND != STREAM_GOOD)); then
        STREAM_FAULT="of $STREAM_GOOD good updates: $missing missing, $unknown unknown addresses,"
        STREAM_FAULT+=" $stale stale, $badowner wrong account"
    fi
    [[ -z $STREAM_FAULT ]]
}
