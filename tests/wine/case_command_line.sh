#!/bin/bash
# The command line as Windows delivers it. The helper starts Tovix.exe with
# CreateProcessW and a hand-made command line (read byte for byte from a
# file: quotes, tabs and runs of spaces stay as written); what the program
# made of it shows in the request that reached tovix-server (host name in the
# query, user name in the request log) and in whether a window appeared.
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/../scenarios/scenarios.sh"
rig_enter "$@"
case_dir command-line

start_server cmdline --account tovix:KoReL52:home.tovix.example --account me:pw:myhost.example \
    --zone tovix.example --zone myhost.example

# cmdline LABEL TEXT: writes the command line for run_tovix_file (printf
# escapes: \t is a tab).
cmdline() {
    # shellcheck disable=SC2059
    printf "$2" "${@:3}" >"$WORK/$1.cmdline"
}

# The last request tovix-server logged in this run, as "hostname=H user=U
# status answer".
last_request() {
    local line
    line=$(tail -n +$((REQUESTS_BEFORE + 1)) "$REQUESTS" | tail -n1)
    printf 'hostname=%s user=%s %s %s' \
        "$(cut -f4 <<<"$line" | sed -n 's/.*[?&]hostname=\([^&]*\).*/\1/p')" \
        "$(cut -f6 <<<"$line")" "$(cut -f7 <<<"$line")" "$(cut -f8 <<<"$line")"
}

# matches TEXT REGEX (extended, anchored at both ends).
matches() { [[ $1 =~ ^$2$ ]]; }

CLOSE="关闭(&C))"

# The answer to a repeated update of an unchanged address is nochg.
UPDATED="200 (good|nochg) 127\.0\.0\.1"

# silent_case LABEL EXPECTED: a run that must stay windowless and send the
# EXPECTED request (a regular expression matching what last_request prints).
silent_case() {
    local label=$1 expected=$2
    REQUESTS_BEFORE=$(request_count)
    run_tovix_file "$label" --app "$APP" --watch
    check "$label: exit status 0" wait_tovix
    check "$label: silent (no window at any time)" grep -q ' windows=0 visible=0$' "$RUN_OUT"
    check "$label: reached the server as: $expected (got: $(last_request))" \
        matches "$(last_request)" "$expected"
}

# interactive_case LABEL EXPECTED RESULT: a run that must open the window and
# send the EXPECTED request (as for silent_case); RESULT is the start of the
# status text it ends with. A
# success closes itself; anything else is closed with Escape.
interactive_case() {
    local label=$1 expected=$2 result=$3
    REQUESTS_BEFORE=$(request_count)
    if [[ $result == 域名注册成功* ]]; then
        # It closes itself 2 s after the success: record it from the start.
        start_record "$label"
        run_tovix_file "$label" --app "$APP"
        check "$label: interactive (the window came and went)" wait_record
        check "$label: result shown" rec_has "status=$result"
    else
        run_tovix_file "$label" --app "$APP"
        check "$label: interactive (the window appears)" helper wait-window 20000
        check "$label: result shown" helper wait-text "$result" 20000
        # The worker relabels and enables the button after writing the
        # result; an Escape before that would be a cancel.
        check "$label: the button turned into $CLOSE" helper wait-button "$CLOSE" 1 20000
        check "$label: Escape after the result" helper press escape
        check "$label: window gone" helper wait-gone 20000
    fi
    check "$label: exit status 0" wait_tovix
    check "$label: reached the server as: $expected (got: $(last_request))" \
        matches "$(last_request)" "$expected"
}

# The text as an extended regular expression that matches only itself.
literal() { sed 's/[][\\.^$*+?(){}|]/\\&/g' <<<"$1"; }

# play WHY ARGUMENTS HOSTNAME USER ANSWER: one row of the table the host
# runner plays too, after a quoted program name and one space.
ROW=0
play() {
    ROW=$((ROW + 1))
    note "row $ROW: $1"
    cmdline "row$ROW" '"%s" %s' "$APP" "$2"
    silent_case "row$ROW" \
        "hostname=$(literal "$3") user=$(literal "$4") [0-9]+ $(literal "$5")"
}

section "the silent updates both runners play (tests/scenarios/silent-updates.table)"
each_scenario "$SCENARIOS_DIR/silent-updates.table" play

section "tabs and runs of blanks after the program name are not part of the arguments"
cmdline tabs '"%s"\t \t  -Slient myhost.example me pw' "$APP"
silent_case tabs "hostname=myhost\\.example user=me $UPDATED"
cmdline unquoted '%s   -Slient myhost.example me pw' "$APP"
silent_case unquoted "hostname=myhost\\.example user=me $UPDATED"

section "the switch glued to a quoted program name belongs to the program name"
# The name runs to the first blank outside quotes, so the argument text is
# empty: an interactive run with every default.
cmdline glued '"%s"-Slient' "$APP"
interactive_case glued "hostname=home\\.tovix\\.example user=tovix $UPDATED" "域名注册成功: "
# With a word after it, that word is the whole argument text: the host name.
cmdline glued-word '"%s"-Slient x' "$APP"
# tovix-server refuses a host name without a dot: notfqdn.
interactive_case glued-word "hostname=x user=tovix 200 notfqdn" "域名注册失败: notfqdn"

section "-Silent (spelt right) is not the switch: interactive, host name -Silent"
cmdline spelt '"%s" -Silent me' "$APP"
interactive_case spelt "hostname=-Silent user=me 401 badauth" "域名注册失败: badauth"

stop_server
show "$WORK/cmdline.requests.log"
check "no SIZE-MISMATCH" no_size_mismatch

finish
