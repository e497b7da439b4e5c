# Shared by the Wine case scripts (sourced, not run). The case runs inside the
# rig that rig.sh set up: its network namespace (127.0.0.1:80 is ours), its
# Xvfb display and its persistent wineserver.
#
# Paths come from the environment ctest gives each case (tests/wine/CMakeLists.txt):
# TOVIX_WINE_RIG, TOVIX_WINE_WORK, TOVIX_WINE_SCREENSHOTS, TOVIX_EXE,
# TOVIX_WINE_HELPER, TOVIX_DOUBLE_RASAPI32, TOVIX_DOUBLE_RASDLG, TOVIX_SERVER,
# and TOVIX_WINE_ARCH, the width those files were built for (win32 or win64),
# which must be the rig's.
set -uo pipefail

WINE_TESTS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$WINE_TESTS_DIR/../support/accounts.sh"
FAILURES=0
CASE_STARTED=$SECONDS

# Re-runs the calling script inside the rig's namespace with Wine's settings.
rig_enter() {
    local state=$TOVIX_WINE_RIG
    if [ -f "$state/skip" ]; then
        echo "SKIPPED: $(cat "$state/skip")"
        exit 77 # SKIP_RETURN_CODE in tests/wine/CMakeLists.txt
    fi
    if [ ! -f "$state/rig.env" ]; then
        echo "no Wine rig at $state (ctest runs wine.rig.setup first;" \
            "by hand: bash $WINE_TESTS_DIR/rig.sh setup $state PREFIX)" >&2
        exit 1
    fi
    # shellcheck source=/dev/null
    . "$state/rig.env"
    if [ -n "${TOVIX_WINE_ARCH:-}" ] && [ "$TOVIX_WINE_ARCH" != "$TOVIX_RIG_ARCH" ]; then
        echo "the files under test are $TOVIX_WINE_ARCH, the rig at $state is $TOVIX_RIG_ARCH" >&2
        exit 1
    fi
    if [ "$(readlink /proc/self/ns/net)" != "$(readlink "/proc/$TOVIX_RIG_HOLDER/ns/net")" ]; then
        exec bash "$WINE_TESTS_DIR/rig.sh" run "$state" bash "$0" "$@"
    fi
}

# xp_size RECORD: the bytes of a remote-access record at its Windows XP size
# in a process of the rig's width, as Tovix passes it and the doubles expect
# it. The dial parameters and the dial dialog's record end in pointer-sized
# fields (the headers pack all of them to 4 bytes).
xp_size() {
    case $1/$TOVIX_RIG_ARCH in
    RASENTRYNAMEW/*) echo 1048 ;;
    RASENTRYW/*) echo 5616 ;;
    RASDIALPARAMSW/win32) echo 2104 ;;
    RASDIALPARAMSW/win64) echo 2108 ;;
    RASDIALDLG/win32) echo 36 ;;
    RASDIALDLG/win64) echo 48 ;;
    *)
        echo "xp_size: no size for $1 on $TOVIX_RIG_ARCH" >&2
        return 1
        ;;
    esac
}

note() { printf '  %s\n' "$*"; }
pass() { printf 'ok    %s\n' "$*"; }
fail() {
    printf 'FAIL  %s\n' "$*"
    FAILURES=$((FAILURES + 1))
}
section() { printf '\n== %s\n' "$*"; }

# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() {
    local what=$1
    shift
    if "$@"; then
        pass "$what"
    else
        fail "$what"
    fi
}

finish() {
    printf '\n%s: %d failure(s), %d s\n' "$(basename "$0")" "$FAILURES" \
        $((SECONDS - CASE_STARTED))
    [ "$FAILURES" -eq 0 ]
    exit $?
}

now_ms() { date +%s%3N; }

# The Windows name of a Unix path (Z: is the root in a default prefix).
winpath() {
    local path
    path=$(realpath -m "$1")
    printf 'Z:%s' "${path//\//\\}"
}

helper() {
    wine "$TOVIX_WINE_HELPER" "$@" </dev/null
}

# case_dir NAME: a fresh work directory for logs ($WORK) and a fresh copy of
# Tovix.exe with the test doubles beside it in the prefix's C: drive (its
# Windows path in $APP). The doubles log to $RAS_LOG and read $PHONEBOOK.
case_dir() {
    local name=$1
    WORK=$TOVIX_WINE_WORK/$name
    rm -rf "$WORK"
    mkdir -p "$WORK"
    local dir=$WINEPREFIX/drive_c/cases/$name
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$TOVIX_EXE" "$dir/Tovix.exe"
    cp "$TOVIX_DOUBLE_RASAPI32" "$dir/rasapi32.dll"
    cp "$TOVIX_DOUBLE_RASDLG" "$dir/rasdlg.dll"
    APP="C:\\cases\\$name\\Tovix.exe"
    RAS_LOG=$WORK/ras.log
    PHONEBOOK=$WORK/phonebook.txt
    : >"$PHONEBOOK"
    export TOVIX_DOUBLE_LOG TOVIX_DOUBLE_PHONEBOOK TOVIX_DOUBLE_DIAL_MS=0
    TOVIX_DOUBLE_LOG=$(winpath "$RAS_LOG")
    TOVIX_DOUBLE_PHONEBOOK=$(winpath "$PHONEBOOK")
}

# ---- servers ----------------------------------------------------------------

SERVER_PID=
REQUESTS=

require_server() {
    if [ ! -x "$TOVIX_SERVER" ]; then
        echo "tovix-server not found at $TOVIX_SERVER: build it with" \
            "'cmake --preset host && cmake --build --preset host --target tovix-server'" \
            "(or point TOVIX_HOST_BUILD_DIR at its build directory)" >&2
        exit 1
    fi
}

# start_server LABEL [--account USER:PASSWORD:HOSTS]... [tovix-server
# options...]: the accounts written first (the built-in one otherwise), then
# tovix-server on 127.0.0.1:80
# with a fresh database and request log ($REQUESTS, $DB).
start_server() {
    local label=$1
    shift
    require_server
    DB=$WORK/$label.db
    REQUESTS=$WORK/$label.requests.log
    rm -f "$DB" "$REQUESTS"
    : >"$REQUESTS"
    split_accounts "$TOVIX_SERVER" "$DB" "$@" || fail "cannot add an account"
    "$TOVIX_SERVER" --listen 127.0.0.1:80 --db "$DB" --log-requests "$REQUESTS" "${SERVER_OPTIONS[@]}" \
        </dev/null >"$WORK/$label.server.out" 2>&1 &
    SERVER_PID=$!
    for _ in $(seq 400); do
        grep -q 'listening' "$WORK/$label.server.out" 2>/dev/null && return 0
        kill -0 "$SERVER_PID" 2>/dev/null || break
        sleep 0.025
    done
    cat "$WORK/$label.server.out"
    fail "tovix-server did not start"
    finish
}

stop_server() {
    if [ -n "$SERVER_PID" ]; then
        kill "$SERVER_PID" 2>/dev/null
        wait "$SERVER_PID" 2>/dev/null
        SERVER_PID=
    fi
}

SCRIPTED_PID=
SCRIPTED_LOG=
SCRIPTED_STOP=

# start_scripted MODE: the helper's server on 127.0.0.1:80, MODE "hold" (never
# answers) or "close-after=MS" (drops the connection MS after the request).
start_scripted() {
    SCRIPTED_LOG=$WORK/scripted.log
    SCRIPTED_STOP=$WORK/scripted.stop
    rm -f "$SCRIPTED_LOG" "$SCRIPTED_STOP"
    helper serve "$1" "$(winpath "$SCRIPTED_LOG")" "$(winpath "$SCRIPTED_STOP")" 200000 \
        >"$WORK/scripted.out" 2>&1 &
    SCRIPTED_PID=$!
    for _ in $(seq 400); do
        grep -q '^[0-9]* listening' "$SCRIPTED_LOG" 2>/dev/null && return 0
        kill -0 "$SCRIPTED_PID" 2>/dev/null || break
        sleep 0.025
    done
    cat "$SCRIPTED_LOG" "$WORK/scripted.out" 2>/dev/null
    fail "the scripted server did not start"
    finish
}

stop_scripted() {
    if [ -n "$SCRIPTED_PID" ]; then
        touch "$SCRIPTED_STOP"
        wait "$SCRIPTED_PID" 2>/dev/null
        SCRIPTED_PID=
    fi
}

# ---- running Tovix ------------------------------------------------------------

RUN_PID=
RUN_OUT=

# run_tovix LABEL [spawn options...] CMDLINE: starts Tovix through the helper's
# CreateProcessW in the background; the helper's report goes to $RUN_OUT.
# Standard error (which Tovix shares: Wine hands a child its parent's Unix
# stderr) goes to $RUN_ERR, so Wine's own messages cannot cut into the report.
run_tovix() {
    local label=$1
    shift
    RUN_OUT=$WORK/$label.run.out
    RUN_ERR=$WORK/$label.run.err
    helper spawn --app "$APP" "$@" >"$RUN_OUT" 2>"$RUN_ERR" &
    RUN_PID=$!
}

# run_tovix_file LABEL [spawn options...]: as run_tovix, with the command line
# read byte for byte from $WORK/LABEL.cmdline (quotes, tabs and all).
run_tovix_file() {
    local label=$1
    shift
    RUN_OUT=$WORK/$label.run.out
    RUN_ERR=$WORK/$label.run.err
    helper spawn "$@" --cmdline-file "$(winpath "$WORK/$label.cmdline")" >"$RUN_OUT" \
        2>"$RUN_ERR" &
    RUN_PID=$!
}

# wait_tovix: waits for the background run; true when it reported exit=0.
wait_tovix() {
    wait "$RUN_PID"
    RUN_PID=
    sed 's/^/  | /' "$RUN_OUT"
    if [ -s "$RUN_ERR" ]; then
        # For example "wine client error:...: sendmsg: Socket operation on
        # non-socket" from a thread of Wine's WinInet while the process exits.
        sed 's/^/  | (stderr) /' "$RUN_ERR"
    fi
    grep -q '^exit=0 ' "$RUN_OUT"
}

# A case that failed half-way must not leave a window for the next one.
cleanup_case() {
    if [ -n "$RUN_PID" ] && kill -0 "$RUN_PID" 2>/dev/null; then
        wine taskkill /F /IM Tovix.exe </dev/null >/dev/null 2>&1
        wait "$RUN_PID" 2>/dev/null
    fi
    # The recorder ends once the window is gone (or after its own timeout).
    if [ -n "$REC_PID" ]; then
        wait "$REC_PID" 2>/dev/null
    fi
    stop_scripted
    stop_server
}
trap cleanup_case EXIT

# ---- logs -----------------------------------------------------------------------

# show FILE: prints a log, indented.
show() {
    if [ -s "$1" ]; then
        sed 's/^/  | /' "$1"
    else
        note "(empty: $(basename "$1"))"
    fi
}

# The request log of tovix-server: time, remote, method, target, user-agent,
# user, status, answer (tab-separated).
request_field() { cut -f"$2" <<<"$1"; }

# no_size_mismatch: the doubles found every record at its Windows XP size.
no_size_mismatch() { ! grep -q 'SIZE-MISMATCH' "$RAS_LOG"; }

# screenshot NAME: the whole Xvfb screen, and the dialog cut out of it.
screenshot() {
    local name=$1 dir=$TOVIX_WINE_SCREENSHOTS
    mkdir -p "$dir"
    if ! import -window root "$dir/$name-screen.png" 2>"$WORK/import.err"; then
        fail "screenshot: $(cat "$WORK/import.err")"
        return 1
    fi
    local rect x y w h
    rect=$(helper rect) || return 1
    read -r x y w h <<<"$rect"
    # A margin around the dialog, inside the screen.
    x=$((x > 8 ? x - 8 : 0))
    y=$((y > 8 ? y - 8 : 0))
    convert "$dir/$name-screen.png" -crop "$((w + 16))x$((h + 16))+$x+$y" +repage \
        "$dir/$name.png"
    note "screenshot: $dir/$name.png (dialog at $rect)"
}

# The request Tovix sends for a host name (the path and query part).
update_target() {
    printf '/dyndns/update?system=dyndns&hostname=%s&wildcard=ON&mx=%s&backmx=YES' "$1" "$1"
}

# request_count: how many requests tovix-server logged.
request_count() { grep -c . "$REQUESTS"; }

# request_line N: the Nth logged request.
request_line() { sed -n "${1}p" "$REQUESTS"; }

# expect_challenge_then_credentials HOST USER STATUS ANSWER: the log holds
# exactly the challenge-less GET answered 401 and the same GET again with
# USER's credentials, answered STATUS ANSWER; both from user agent "Tovix".
expect_challenge_then_credentials() {
    local host=$1 user=$2 status=$3 answer=$4 target first second
    target=$(update_target "$host")
    first=$(request_line 1)
    second=$(request_line 2)
    check "two requests reached the server (got $(request_count))" [ "$(request_count)" -eq 2 ]
    check "first: GET $target without credentials, 401 badauth" \
        [ "$(cut -f3,4,6,7,8 <<<"$first")" = "$(printf 'GET\t%s\t\t401\tbadauth' "$target")" ]
    check "second: the same GET as user '$user', $status $answer" \
        [ "$(cut -f3,4,6,7,8 <<<"$second")" = "$(printf 'GET\t%s\t%s\t%s\t%s' "$target" "$user" \
            "$status" "$answer")" ]
    check "user agent Tovix on both" \
        [ "$(cut -f5 <<<"$first")/$(cut -f5 <<<"$second")" = Tovix/Tovix ]
}

# stored_record HOST: the record tovix-server keeps for HOST (tab-separated:
# host, account, ipv4, ipv6, wildcard, mx, backmx, offline, updated), or nothing.
stored_record() { "$TOVIX_SERVER" list --db "$DB" 2>/dev/null | awk -F'\t' -v h="$1" '$1 == h'; }

# The doubles' log as "call entry" pairs, one a line.
ras_calls() {
    sed -n 's/^\(Ras[A-Za-z]*\) .* entry=\([^ ]*\) .*/\1 \2/p; s/^\(RasEnumEntriesW\) .*/\1/p' "$RAS_LOG"
}

# ---- recording a dialog that ends by itself -----------------------------------

REC_PID=
REC=

# start_record LABEL: the helper follows the next Tovix window from its
# appearance to its end ($REC); started before Tovix, so nothing is missed.
start_record() {
    REC=$WORK/$1.record
    helper record 60000 >"$REC" 2>&1 &
    REC_PID=$!
    for _ in $(seq 400); do
        grep -q ' waiting$' "$REC" 2>/dev/null && return 0
        sleep 0.025
    done
    fail "the recording helper did not start"
}

# wait_record: true when the window came and went.
wait_record() {
    wait "$REC_PID"
    local status=$?
    REC_PID=
    sed 's/^/  ~ /' "$REC"
    return $status
}

# rec_tick TEXT: the tick of the first recorded line whose event starts with
# TEXT ("window", "status=...", "button=...", "gone"); empty if none.
rec_tick() {
    awk -v want="$1" '{ event = substr($0, index($0, " ") + 1) }
        index(event, want) == 1 { sub(/^tick=/, "", $1); print $1; exit }' "$REC"
}

# rec_has TEXT: some recorded event starts with TEXT.
rec_has() { [ -n "$(rec_tick "$1")" ]; }
