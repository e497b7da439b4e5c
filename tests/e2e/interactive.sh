#!/usr/bin/env bash
# The interactive mode of the host tovix on a real terminal (a tmux pane),
# against tovix-server on 127.0.0.1:80 (run inside a private network
# namespace): a success closes itself about two seconds after showing the
# result; a refusal stays until a quick Escape, Ctrl+C; a cancel against a
# server that never answers shows the cancel text, then the cancelled
# request's failure, and Escape ends it. Each run exits 0.
set -u
tovix=$1
server=$2
. "$(dirname "$0")/lib.sh"
export TOVIX_PHONEBOOK="$work/empty.pbk"
# Each run gets a tmux server of its own: a new one never meets one that is
# still shutting down.
run=0
tmux_() { tmux -L "tovix-e2e-$$-$run" -f /dev/null "$@"; }
trap 'tmux_ kill-server 2>/dev/null; finish' EXIT

# Starts tovix with the given arguments in a fresh pane; its exit status
# lands in $work/exit when it ends.
start_tovix() {
    rm -f "$work/exit"
    tmux_ kill-server 2>/dev/null
    run=$((run + 1))
    : > "$work/stream"
    tmux_ -u new-session -d -x 100 -y 30 \
        "sleep 0.3; env LANG=C.UTF-8 TOVIX_PHONEBOOK=$TOVIX_PHONEBOOK $tovix $*; echo \$? > $work/exit; sleep 600"
    # Everything written to the pane, for texts shown too briefly to poll.
    tmux_ pipe-pane -o "cat >> $work/stream"
}
screen() { tmux_ capture-pane -p 2>/dev/null; }

# wait_for TEXT SECONDS: polls the screen until TEXT shows.
wait_for() {
    local deadline=$((SECONDS + $2))
    while [ $SECONDS -lt $deadline ]; do
        screen | grep -qF -- "$1" && return 0
        sleep 0.1
    done
    echo "--- screen:"
    screen
    return 1
}
wait_exit() {
    local deadline=$((SECONDS + $1))
    while [ $SECONDS -lt $deadline ]; do
        [ -s "$work/exit" ] && return 0
        sleep 0.05
    done
    return 1
}
check_exit0() {
    [ "$(cat "$work/exit" 2>/dev/null)" = 0 ] && pass "$1: exit status 0" ||
        fail "$1: exit status '$(cat "$work/exit" 2>/dev/null)'"
}

start_server || exit 1

# 1. Success: the window closes by itself.
start_tovix
if wait_for "域名注册成功: good 127.0.0.1" 30; then
    shown=$(date +%s.%N)
    screen | grep -qF "关闭(C))" && pass "success: the button reads Close" ||
        fail "success: no Close button"
    if wait_exit 15; then
        gone=$(date +%s.%N)
        pass "success: the window closed by itself $(awk "BEGIN { printf \"%.1f\", $gone - $shown }") s after the result"
        check_exit0 "success"
    else
        fail "success: the window did not close by itself"
    fi
else
    fail "success: no result shown"
fi

# 2. Refusal: stays open until Escape.
start_tovix home.tovix.example tovix wrong-password
if wait_for "域名注册失败: badauth" 30; then
    sleep 3
    [ ! -s "$work/exit" ] && pass "refusal: still open after 3 s" || fail "refusal: closed by itself"
    # A quick Escape, Ctrl+C: two keys, as Windows reads them, not Alt+Ctrl+C.
    tmux_ send-keys Escape C-c
    wait_exit 10 && check_exit0 "refusal after a quick Escape, Ctrl+C" ||
        fail "refusal: a quick Escape, Ctrl+C did not end it"
else
    fail "refusal: no result shown"
fi
stop_server

# 3. Cancel against a server that accepts and never answers.
python3 -c '
import socket, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", 80)); s.listen(8)
conns = []
while True:
    c, _ = s.accept(); conns.append(c)
' &
silent_server=$!
# Until it listens (a loaded machine can take more than a moment to start
# python); the probe is one more connection it holds and never answers.
for _ in $(seq 200); do
    (exec 3<>/dev/tcp/127.0.0.1/80) 2>/dev/null && break
    sleep 0.05
done
start_tovix
if wait_for "正在接收响应..." 30 || wait_for "正在发送请求..." 5; then
    tmux_ send-keys Escape
    if wait_for "域名注册失败: " 15; then
        # The host's request ends at once when cancelled, so the cancel text
        # may be on screen too briefly to poll: look for it in the stream.
        before=$(grep -a -o -b "正在取消请求，请稍候..." "$work/stream" | head -1 | cut -d: -f1)
        after=$(grep -a -o -b "域名注册失败: " "$work/stream" | head -1 | cut -d: -f1)
        if [ -n "$before" ] && [ -n "$after" ] && [ "$before" -lt "$after" ]; then
            pass "cancel: the cancel text showed before the failure"
        else
            fail "cancel: no cancel text before the failure"
        fi
        pass "cancel: the cancelled request's failure follows"
        screen | grep -qF "关闭(C))" && pass "cancel: the button reads Close" ||
            fail "cancel: no Close button"
        tmux_ send-keys Escape
        wait_exit 10 && check_exit0 "cancel then Escape" || fail "cancel: Escape did not end it"
    else
        fail "cancel: no failure after the cancel"
    fi
else
    fail "cancel: the request never started"
fi
kill $silent_server 2>/dev/null
