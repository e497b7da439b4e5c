#!/usr/bin/env bash
# Installs what is missing, builds both flavours and runs every test:
# the host tests under AddressSanitizer and UndefinedBehaviorSanitizer, the
# cancellation tests again under ThreadSanitizer, Tovix.exe under Wine, and
# the Windows zip and Debian packages.
#
# Under Wine: the 64-bit build (win64 preset) always, under wine64; the
# shipped 32-bit Tovix.exe (win32) as well where this machine executes 32-bit
# code. Elsewhere only the win32 Wine cases are skipped (the checks of the
# 32-bit image itself still run), and a Wine that cannot start fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake --preset host
cmake --build --preset host
cmake --preset win32
cmake --build --preset win32
cmake --preset win64
cmake --build --preset win64
# The benchmark programs are not run here, only kept building.
cmake --build --preset host --target bench_cancel_latency bench_spawn bench_sqlite_commits
cmake --build --preset win32 --target bench_wininet_get bench_tovix_noicon

status=0
ctest --preset host || status=1

# The cancel protocol, the dialog and the Internet layer under ThreadSanitizer.
cmake --preset host-tsan
cmake --build --preset host-tsan --target test_progress_dialog test_cancel_stress \
    test_dialog_manager test_wininet_cancel test_update
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --preset host-tsan \
    -R '^(ui\.progress_dialog|ui\.cancel_stress|platform\.dialog_manager|wininet\.cancel|update\.cancel)$' ||
    status=1

# Says whether the win32 Wine cases run here (status 1: they are skipped).
runs_32bit=0
bash tests/wine/rig.sh runs-32bit || runs_32bit=$?
[ "$runs_32bit" -le 1 ] || status=1
ctest --preset win32 || status=1
ctest --preset win64 || status=1

# A short libFuzzer run of every fuzzer (fuzz/run.sh 3600 for a long one).
bash fuzz/run.sh 20 || status=1

# The packages: built, lintian, installed, the services run as their units
# start them, purged. Skipped (77) where it cannot install.
pkg_status=0
bash tests/packages/run.sh || pkg_status=$?
[ "$pkg_status" -eq 0 ] || [ "$pkg_status" -eq 77 ] || status=1
exit $status
