#!/bin/bash
# The dial step of the real Tovix.exe under Wine, through the test doubles of
# rasapi32.dll and rasdlg.dll beside it (WINEDLLOVERRIDES=rasapi32,rasdlg=n).
# The doubles log every call with its arguments and flag any record whose
# size is not the Windows XP one with a SIZE-MISMATCH line.
. "$(dirname "$0")/lib.sh"
rig_enter "$@"
case_dir dialling

# Entries: name|options|fail-properties|fail-dial-params|fail-dial.
#   Ask       asks for credentials (RASEO_PreviewUserPw): never dialled
#   拨号连接  its properties cannot be read: counts as not asking
#   Broken    its saved dial parameters cannot be fetched: silent mode skips it
#   Evening   the dial itself fails: ignored, the update follows
cat >"$PHONEBOOK" <<'EOF'
Home|00000000
Office|00000010
Ask|01000000
拨号连接|00000000|1|0|0
Broken|00000000|0|1|0
Evening|00000000|0|0|1
EOF

start_server dial
DIALDLG_SIZE=$(xp_size RASDIALDLG)
PROPERTIES_SIZE=$(xp_size RASENTRYW)
PARAMS_SIZE=$(xp_size RASDIALPARAMSW)
NAME_SIZE=$(xp_size RASENTRYNAMEW)
note "record sizes of a $TOVIX_RIG_ARCH process: RASDIALDLG $DIALDLG_SIZE," \
    "RASENTRYW $PROPERTIES_SIZE, RASDIALPARAMSW $PARAMS_SIZE, RASENTRYNAMEW $NAME_SIZE"

section "interactive: one RasDialDlgW per qualifying entry, in order, all before the window"
: >"$RAS_LOG"
# Each "dial dialog" stays open for a moment, as a modal dialog would.
export TOVIX_DOUBLE_DIAL_MS=250
start_record interactive
run_tovix interactive "\"$APP\""
check "the window appeared and went away by itself" wait_record
check "exit status 0" wait_tovix
check "the update succeeded" rec_has "status=域名注册成功: "
window_tick=$(rec_tick window)
export TOVIX_DOUBLE_DIAL_MS=0
show "$RAS_LOG"
expected="RasEnumEntriesW
RasGetEntryPropertiesW Home
RasDialDlgW Home
RasGetEntryPropertiesW Office
RasDialDlgW Office
RasGetEntryPropertiesW Ask
RasGetEntryPropertiesW 拨号连接
RasDialDlgW 拨号连接
RasGetEntryPropertiesW Broken
RasDialDlgW Broken
RasGetEntryPropertiesW Evening
RasDialDlgW Evening"
check "calls in order, Ask skipped, no silent dialling" [ "$(ras_calls)" = "$expected" ]
check "RasDialDlgW: no phonebook, no phone number, size $DIALDLG_SIZE, no owner, no flags" \
    [ "$(grep '^RasDialDlgW ' "$RAS_LOG" | grep -c "phonebook=null .* phone=null size=$DIALDLG_SIZE owner=0 flags=0x0 subentry=0 ")" -eq 5 ]
check "no progress window during any dial" \
    [ "$(grep '^RasDialDlgW ' "$RAS_LOG" | grep -c 'progress-window=none')" -eq 5 ]
last_dial_end=$(sed -n 's/^RasDialDlgW .*end-tick=\([0-9]*\).*/\1/p' "$RAS_LOG" | tail -n1)
note "last dial ended at tick $last_dial_end, the window appeared at tick $window_tick"
check "the window was found only after the last dial had returned" \
    [ "${window_tick:-0}" -ge "${last_dial_end:-999999999999}" ]
check "properties read with a zeroed record of $PROPERTIES_SIZE bytes" \
    [ "$(grep -c "^RasGetEntryPropertiesW .*size=$PROPERTIES_SIZE cb=$PROPERTIES_SIZE zeroed=1 devinfo=null devinfo-cb=null" "$RAS_LOG")" -eq 6 ]
check "the update followed the dials" [ "$(request_count)" -eq 2 ]

section "silent: dial parameters fetched, then RasDialW; Broken skipped"
: >"$RAS_LOG"
run_tovix silent --watch "\"$APP\" -Slient"
check "exit status 0" wait_tovix
check "no window at any time" grep -q ' windows=0 visible=0$' "$RUN_OUT"
show "$RAS_LOG"
expected="RasEnumEntriesW
RasGetEntryPropertiesW Home
RasGetEntryDialParamsW Home
RasDialW Home
RasGetEntryPropertiesW Office
RasGetEntryDialParamsW Office
RasDialW Office
RasGetEntryPropertiesW Ask
RasGetEntryPropertiesW 拨号连接
RasGetEntryDialParamsW 拨号连接
RasDialW 拨号连接
RasGetEntryPropertiesW Broken
RasGetEntryDialParamsW Broken
RasGetEntryPropertiesW Evening
RasGetEntryDialParamsW Evening
RasDialW Evening"
check "calls in order, Ask and Broken not dialled, no dial dialog" [ "$(ras_calls)" = "$expected" ]
check "RasDialW gets the fetched parameters, synchronously, with a null handle" \
    [ "$(grep '^RasDialW ' "$RAS_LOG" | grep -c "extensions=null phonebook=null entry=\([^ ]*\) size=$PARAMS_SIZE user=user-\1 password=pw-\1 notifier-type=0 notifier=null connection-in=null ")" -eq 4 ]
check "the update followed the dials" [ "$(request_count)" -eq 4 ]

section "33 entries: the enumeration fails, nothing is dialled"
for i in $(seq -w 1 33); do printf 'Entry%s|00000000\n' "$i"; done >"$PHONEBOOK"
for mode in silent interactive; do
    : >"$RAS_LOG"
    if [ $mode = silent ]; then
        run_tovix big-$mode --watch "\"$APP\" -Slient"
    else
        start_record big-$mode
        run_tovix big-$mode "\"$APP\""
        check "$mode: the window appeared and went away by itself" wait_record
        check "$mode: the update succeeded" rec_has "status=域名注册成功: "
    fi
    check "$mode: exit status 0" wait_tovix
    show "$RAS_LOG"
    check "$mode: only RasEnumEntriesW" [ "$(ras_calls)" = RasEnumEntriesW ]
    check "$mode: answered 603 (buffer too small) with the size needed" \
        grep -q "^RasEnumEntriesW .* cb=$((32 * NAME_SIZE)) .* -> 603 count=33 cb-out=$((33 * NAME_SIZE)) " "$RAS_LOG"
done

section "32 entries: all of them dialled"
for i in $(seq -w 1 32); do printf 'Entry%s|00000000\n' "$i"; done >"$PHONEBOOK"
: >"$RAS_LOG"
run_tovix full --watch "\"$APP\" -Slient"
check "exit status 0" wait_tovix
check "32 RasDialW calls, Entry01 to Entry32 in order" \
    [ "$(grep '^RasDialW ' "$RAS_LOG" | sed 's/.* entry=\([^ ]*\) .*/\1/' | tr '\n' ' ')" = "$(seq -f 'Entry%02g' 1 32 | tr '\n' ' ')" ]

section "record sizes"
check "no SIZE-MISMATCH in any run" no_size_mismatch
check "every RasEnumEntriesW saw 32 elements of $NAME_SIZE bytes" \
    [ "$(grep -c "^RasEnumEntriesW .*cb=$((32 * NAME_SIZE)) elements=32 sized-ok=32 " "$RAS_LOG")" -eq "$(grep -c '^RasEnumEntriesW ' "$RAS_LOG")" ]

finish
