#!/bin/bash
# Silent mode of the real Tovix.exe under Wine: one update request, no window
# at any moment, exit status 0 whatever happened. The helper starts Tovix with
# CreateProcessW and looks for windows of its process every 25 ms until it
# exits.
. "$(dirname "$0")/lib.sh"
rig_enter "$@"
case_dir silent

# silent_run LABEL CMDLINE: runs Tovix silently; passes when it exited with 0
# and never had a window.
silent_run() {
    run_tovix "$1" --watch "$2"
    check "exit status 0" wait_tovix
    check "no window at any time" grep -q ' windows=0 visible=0$' "$RUN_OUT"
}

section "silent success against tovix-server (default account)"
start_server success
silent_run success "\"$APP\" -Slient"
stop_server
show "$REQUESTS"
expect_challenge_then_credentials home.tovix.example tovix 200 "good 127.0.0.1"
record=$(stored_record home.tovix.example)
note "stored: $record"
check "the record is stored: address 127.0.0.1, wildcard ON, mx and backmx as sent" \
    [ "$(cut -f1-7 <<<"$record")" = "$(printf 'home.tovix.example\ttovix\t127.0.0.1\t-\tON\thome.tovix.example\tYES')" ]

section "silent refusal: wrong password from the command line"
start_server refusal
silent_run refusal "\"$APP\" -Slient home.tovix.example tovix WrongPassword"
stop_server
show "$REQUESTS"
expect_challenge_then_credentials home.tovix.example tovix 401 badauth
# list names every host an account owns; one never updated has no address
# and no time of a change.
record=$(stored_record home.tovix.example)
note "stored: $record"
check "nothing stored: no address, no change" \
    [ "$(cut -f3,4,9 <<<"$record")" = "$(printf -- '-\t-\t-')" ]

section "silent run with no server listening on 127.0.0.1:80"
silent_run no-server "\"$APP\" -Slient"

section "the dial step ran once per run, with the Windows XP record sizes"
show "$RAS_LOG"
check "RasEnumEntriesW once per run (3 runs)" [ "$(grep -c '^RasEnumEntriesW ' "$RAS_LOG")" -eq 3 ]
check "no SIZE-MISMATCH" no_size_mismatch

finish
