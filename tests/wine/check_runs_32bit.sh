#!/bin/bash
# How the rig decides whether this machine executes 32-bit code (rig.sh
# runs-32bit, and the win32 setup's skip): only an "Exec format error" from
# the 32-bit loader means "cannot" and skips the 32-bit cases; a loader that
# is missing is an install fault, and fails. The loader is replaced by
# TOVIX_RIG_LD_32BIT with an ELF file for a machine no kernel runs
# (foreign_elf.sh).
#   check_runs_32bit.sh RIG_SH WORK_DIR
set -uo pipefail
rig=$1 work=$2
rm -rf "$work"
mkdir -p "$work"
failures=0
pass() { printf 'ok    %s\n' "$*"; }
fail() {
    printf 'FAIL  %s\n' "$*"
    failures=$((failures + 1))
}

# shellcheck source=tests/wine/foreign_elf.sh
. "$(dirname "$0")/foreign_elf.sh"
foreign=$work/ld-foreign.so
foreign_elf "$foreign"

# run NAME LOADER ARGS...: rig.sh ARGS with LOADER as the 32-bit loader; its
# status in $status, its output in $out.
run() {
    local name=$1 loader=$2
    shift 2
    status=0
    TOVIX_RIG_LD_32BIT=$loader bash "$rig" "$@" >"$work/$name.out" 2>&1 || status=$?
    out=$(cat "$work/$name.out")
    printf '  %s: status %d: %s\n' "$name" "$status" "$out"
}

# check DESCRIPTION COMMAND...: passes when the command succeeds.
check() {
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}
says() { grep -q "$1" <<<"$out"; }
nothing_made() { [ ! -e "$work/prefix" ] && [ ! -e "$work/rig/rig.env" ]; }
failed_not_skipped() { [ "$status" -ne 0 ] && [ "$status" -ne 77 ] && [ ! -e "$work/rig/skip" ]; }

run real /lib/ld-linux.so.2 runs-32bit
# Either answer is right for some machine; 2 would be a broken install.
check "the real loader: runs (0) or cannot run here (1), not an install fault" \
    [ "$status" -le 1 ]

run foreign "$foreign" runs-32bit
check "Exec format error: cannot (1)" [ "$status" -eq 1 ]
check "Exec format error: says so" says 'cannot execute 32-bit code .*Exec format error'

run missing "$work/no-such-loader" runs-32bit
check "a missing loader: an install fault (2)" [ "$status" -eq 2 ]
check "a missing loader: says what to install" says 'install wine32:i386'

# The win32 rig on such a machine: skipped with the reason, nothing started.
run setup-foreign "$foreign" setup "$work/rig" "$work/prefix" win32
check "win32 setup there: skipped (77)" [ "$status" -eq 77 ]
check "win32 setup there: the reason in its skip file" \
    grep -q 'Exec format error' "$work/rig/skip"
check "win32 setup there: no prefix, no rig made" nothing_made

# ... but a missing loader fails the setup rather than skipping it.
rm -rf "$work/rig"
run setup-missing "$work/no-such-loader" setup "$work/rig" "$work/prefix" win32
check "win32 setup with no loader: fails, not skipped" failed_not_skipped

printf '\ncheck_runs_32bit.sh: %d failure(s)\n' "$failures"
[ "$failures" -eq 0 ]
