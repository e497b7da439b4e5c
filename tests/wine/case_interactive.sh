#!/bin/bash
# Interactive mode of the real Tovix.exe under Wine: the progress dialog
# (#32770 "Tovix"), its status line (control 102) and its button (control 2).
# The helper presses keys by posting them to the dialog's focus control, so
# the dialog's own IsDialogMessage turns them into IDCANCEL, and clicks the
# close box by posting WM_SYSCOMMAND SC_CLOSE.
. "$(dirname "$0")/lib.sh"
rig_enter "$@"
case_dir interactive

RUNNING="取消(&C)"
CLOSE="关闭(&C))"

# still_open MS: the window is still there MS milliseconds from now.
still_open() { ! helper wait-gone "$1"; }

section "success: the result, then the window closes itself"
start_server success
start_record success
run_tovix success "\"$APP\""
check "the window appeared and went away by itself" wait_record
check "exit status 0" wait_tovix
success=$(rec_tick "status=域名注册成功: good 127.0.0.1")
check "status showed the success" [ -n "$success" ]
check "the button turned into $CLOSE, enabled" rec_has "button=$CLOSE enabled=1"
gone=$(rec_tick gone)
check "the window closed only after the success was shown" [ "${gone:-0}" -gt "${success:-999999999999}" ]
note "closed $((${gone:-0} - ${success:-0})) ms after the success text appeared" \
    "(the program sets a 2 s timer)"
stop_server
expect_challenge_then_credentials home.tovix.example tovix 200 "good 127.0.0.1"

section "refusal: the window stays until Escape"
start_server refusal
run_tovix refusal "\"$APP\" home.tovix.example tovix WrongPassword"
seen=$(helper wait-text "域名注册失败: badauth" 20000)
check "status shows the refusal: $seen" [ $? -eq 0 ]
# The worker relabels and enables the button just after writing the result.
check "the button turned into $CLOSE, enabled" helper wait-button "$CLOSE" 1 20000
screenshot dialog
check "still open 4 s later" still_open 4000
check "status unchanged: $(helper status)" [ "$(helper status)" = "域名注册失败: badauth" ]
check "Escape is delivered" helper press escape
check "Escape closes the window" helper wait-gone 20000
check "exit status 0" wait_tovix
stop_server
expect_challenge_then_credentials home.tovix.example tovix 401 badauth

section "close box while running acts as Cancel (a server that never answers)"
start_scripted hold
run_tovix closebox "\"$APP\""
# The receiving stage means the request is out and blocked on the answer.
check "the request is waiting for the answer" helper wait-text "正在接收响应..." 20000
check "close box clicked" helper close-box
check "status shows the cancel" helper wait-text "正在取消请求，请稍候..." 20000
check "the button is disabled, caption unchanged" helper wait-button "$RUNNING" 0 20000
check "the window does not close" still_open 3000
check "Escape while cancelling is ignored" helper press escape
check "the window still does not close" still_open 1000
# Wine's behaviour, not the program's: Wine's WinInet returns at once from
# InternetCloseHandle on the session but does not unblock the request blocked
# on it; Windows makes the blocked call fail promptly, and the failure would
# show at once. Under Wine the request ends only when the connection does.
if [ "$(helper status)" = "正在取消请求，请稍候..." ]; then
    note "Wine: 4 s after the cancel the request is still blocked (session close" \
        "does not unblock it)"
else
    note "Wine unblocked the request after the cancel: $(helper status)"
fi
stop_scripted
seen=$(helper wait-button "$CLOSE" 1 60000)
check "once the server drops the connection: $seen" [ $? -eq 0 ]
status=$(helper status)
check "a failure is shown: $status" grep -q "^域名注册失败: " <<<"$status"
check "close box again" helper close-box
check "now the close box closes the window" helper wait-gone 20000
check "exit status 0" wait_tovix
show "$SCRIPTED_LOG"

section "the dial step"
check "no SIZE-MISMATCH" no_size_mismatch

finish
