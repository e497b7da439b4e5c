#!/bin/bash
# Row 2, inside the Wine rig (tests/wine/rig.sh; run.sh sets it up and tears
# it down): tovix-server on 127.0.0.1:80 in the rig's namespace, then
# `Tovix.exe -Slient` and wininet_get.exe, alternately, RUNS times each.
# Tovix.exe runs from a case directory made by tests/wine/lib.sh, with the
# rig's rasapi32/rasdlg doubles and an empty phonebook beside it.
#
#   wine_runs.sh OUT RUNS
# Environment: what tests/wine/lib.sh reads (TOVIX_WINE_RIG, TOVIX_WINE_WORK,
# TOVIX_EXE, TOVIX_DOUBLE_RASAPI32, TOVIX_DOUBLE_RASDLG, TOVIX_SERVER), and
# BENCH_WININET_GET, BENCH_MEASURE.
BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tests/wine/lib.sh
. "$BENCH_DIR/../tests/wine/lib.sh"
rig_enter "$@"
out=$1 runs=$2

case_dir bench
cp "$BENCH_WININET_GET" "$WINEPREFIX/drive_c/cases/bench/wininet_get.exe"
start_server bench
python3 "$BENCH_MEASURE" alternate "$out/wine_runs.tsv" "$runs" \
    Tovix.exe "wine 'C:\\cases\\bench\\Tovix.exe' -Slient" \
    wininet_get.exe "wine 'C:\\cases\\bench\\wininet_get.exe'"
status=$?
stop_server
cp "$REQUESTS" "$out/wine.requests.log"
exit $status
