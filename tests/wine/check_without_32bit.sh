#!/bin/bash
# The 64-bit rig where no 32-bit code runs. In a private mount namespace the
# 32-bit dynamic loader (/lib/ld-linux.so.2) is covered by an ELF file for a
# machine no kernel runs (foreign_elf.sh), so every 32-bit program fails to
# start as on a kernel without 32-bit support; there a rig of its own is set
# up and one case script runs in it. On a machine that executes 32-bit code
# this catches a 64-bit rig that leans on it unseen (a loader started under
# the 32-bit name, a 32-bit helper); where none runs, it is the same run
# without the cover.
#   check_without_32bit.sh RIG_SH WORK_DIR CASE_SCRIPT
# Environment: what the case scripts read (tests/wine/CMakeLists.txt); the
# rig and work directories are replaced by ones under WORK_DIR.
set -uo pipefail
rig=$1 work=$2 case_script=$3

if [ -z "${TOVIX_WITHOUT_32BIT:-}" ]; then
    # The cover must not reach the rest of the machine.
    TOVIX_WITHOUT_32BIT=1 exec unshare --mount --propagation private bash "$0" "$@"
fi

rm -rf "$work"
mkdir -p "$work"
status=0
bash "$rig" runs-32bit || status=$?
case $status in
0)
    # shellcheck source=tests/wine/foreign_elf.sh
    . "$(dirname "$0")/foreign_elf.sh"
    foreign_elf "$work/ld-foreign.so"
    mount --bind "$work/ld-foreign.so" "$(realpath /lib/ld-linux.so.2)" || {
        echo "FAIL  cannot cover the 32-bit loader in a private mount namespace"
        exit 1
    }
    status=0
    bash "$rig" runs-32bit || status=$?
    if [ "$status" -ne 1 ]; then
        echo "FAIL  32-bit code still runs under the cover (runs-32bit: $status)"
        exit 1
    fi
    echo "ok    32-bit code cannot run here now"
    ;;
1) echo "ok    this machine executes no 32-bit code of its own" ;;
*) exit 1 ;;
esac

state=$work/rig
trap 'bash "$rig" teardown "$state" >/dev/null 2>&1' EXIT
bash "$rig" setup "$state" "$work/prefix" win64 || {
    echo "FAIL  the 64-bit rig did not start without 32-bit code"
    exit 1
}
echo "ok    the 64-bit rig started without 32-bit code"
TOVIX_WINE_RIG=$state TOVIX_WINE_WORK=$work/cases bash "$case_script"
