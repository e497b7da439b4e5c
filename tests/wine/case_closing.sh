#!/bin/bash
# The result stays on screen when the server's connection cannot be kept.
# WinInet reports CLOSING_CONNECTION and CONNECTION_CLOSED from inside the
# close of the request handle when the answer came with Connection: close,
# without a length (HTTP/1.0), or with chunks left unread; the program closes
# its handles after it has written the result, so those reports must not
# reach the window. The helper's scripted server challenges the first
# request, answers the one with credentials with the row's bytes and closes
# its end of the connection; it logs when Tovix closes the other end.
. "$(dirname "$0")/lib.sh"
rig_enter "$@"
case_dir closing

CLOSE="关闭(&C))"
FAILED="域名注册失败: "
long_body="badauth$(printf 'z%.0s' $(seq 293))"
shown_long="badauth$(printf 'z%.0s' $(seq 121))"

# answer_file NAME BYTES...: the raw response (printf format) in a file.
answer_file() {
    local name=$1
    shift
    ANSWER=$WORK/$name.http
    # shellcheck disable=SC2059
    printf "$@" >"$ANSWER"
}

# last_status: the last status text the recording saw before the window went.
last_status() { sed -n 's/^tick=[0-9]* status=//p' "$REC" | tail -n 1; }

# client_closed: true once the scripted server has seen Tovix close the
# connection it answered on; false after 20 s.
client_closed() {
    for _ in $(seq 800); do
        grep -q ' client closed the answered connection$' "$SCRIPTED_LOG" && return 0
        sleep 0.025
    done
    return 1
}

# refusal_row NAME EXPECTED [kept]: Tovix against the answer in $ANSWER; the
# window stays open with EXPECTED in its status line after the handles are
# closed. "kept": WinInet keeps the connection for reuse, so closing the
# request does not close it.
refusal_row() {
    local name=$1 expected=$2 kept=${3:-}
    section "$name"
    start_scripted "answer=$(winpath "$ANSWER")"
    start_record "$name"
    run_tovix "$name" "\"$APP\""
    check "the button turned into $CLOSE" helper wait-button "$CLOSE" 1 20000
    # WinInet reports CLOSING_CONNECTION just before it closes the socket, so
    # once the server has seen the close, any report of it is on screen. A
    # connection kept for reuse is closed only when Tovix exits.
    if [ "$kept" != kept ]; then
        check "Tovix closed the connection" client_closed
    fi
    check "the status line still shows the result: $(helper status)" \
        [ "$(helper status)" = "$expected" ]
    check "Escape closes the window" helper press escape
    check "the window went away" helper wait-gone 20000
    check "exit status 0" wait_tovix
    wait_record
    check "the last text on screen was the result: $(last_status)" [ "$(last_status)" = "$expected" ]
    stop_scripted
    show "$SCRIPTED_LOG"
}

answer_file keep-alive 'HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nbadauth'
refusal_row keep-alive "${FAILED}badauth" kept

answer_file close 'HTTP/1.1 200 OK\r\nContent-Length: 7\r\nConnection: close\r\n\r\nbadauth'
refusal_row connection-close "${FAILED}badauth"

answer_file close-300 'HTTP/1.1 200 OK\r\nContent-Length: 300\r\nConnection: close\r\n\r\n%s' \
    "$long_body"
refusal_row connection-close-300-bytes "${FAILED}${shown_long}"

answer_file chunked-300 \
    'HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n12c\r\n%s\r\n0\r\n\r\n' \
    "$long_body"
refusal_row chunked-300-bytes "${FAILED}${shown_long}"

answer_file http10 'HTTP/1.0 200 OK\r\n\r\n%s' "$long_body"
refusal_row http10-without-length "${FAILED}${shown_long}"

section "good, Connection: close: the success shows until the window closes itself"
answer_file good 'HTTP/1.1 200 OK\r\nContent-Length: 14\r\nConnection: close\r\n\r\ngood 127.0.0.1'
start_scripted "answer=$(winpath "$ANSWER")"
start_record good
run_tovix good "\"$APP\""
check "the window appeared and went away by itself" wait_record
check "exit status 0" wait_tovix
check "the last text on screen was the success: $(last_status)" \
    [ "$(last_status)" = "域名注册成功: good 127.0.0.1" ]
check "the button turned into $CLOSE, enabled" rec_has "button=$CLOSE enabled=1"
stop_scripted
show "$SCRIPTED_LOG"

finish
