#!/usr/bin/env bash
# The host tovix dials the phonebook before the update: with two entries
# that need no prompt and one that asks for credentials, silent mode runs
# pppd for the two, in order, and exits 0. The update that follows fails:
# nothing listens in the test's private network namespace.
set -u
tovix=$1
fake_pppd=$2
. "$(dirname "$0")/lib.sh"

cat > "$work/rasphone.pbk" <<'PBK'
[Home DSL]
PreviewUserPw=0
[Ask First]
PreviewUserPw=1
[Backup]
PBK
export TOVIX_PHONEBOOK="$work/rasphone.pbk" TOVIX_PPPD="$fake_pppd" FAKE_PPPD_LOG="$work/pppd.log"
unshare -n -- "$tovix" -Slient myhost.example me > "$work/out" 2>&1
rc=$?
[ "$rc" -eq 0 ] && pass "exit status 0" || fail "exit status $rc: $(cat "$work/out")"
expected=$'call Home DSL updetach\ncall Backup updetach'
[ "$(cat "$work/pppd.log")" = "$expected" ] && pass "pppd ran for the two entries, in order" ||
    fail "pppd calls: $(cat "$work/pppd.log")"

: > "$work/pppd.log"
for i in $(seq 33); do echo "[Link $i]"; done > "$work/rasphone.pbk"
unshare -n -- "$tovix" -Slient > "$work/out" 2>&1
rc=$?
[ "$rc" -eq 0 ] || fail "33 entries: exit status $rc"
[ ! -s "$work/pppd.log" ] && pass "33 entries: nothing dialled" || fail "33 entries dialled"
