#!/usr/bin/env bash
# Installs what is missing, builds both flavours and runs every test:
# the host tests under AddressSanitizer and UndefinedBehaviorSanitizer, the
# cancellation tests again under ThreadSanitizer, Tovix.exe under Wine, and
# the Windows zip and Debian packages.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

cmake --preset host
cmake --build --preset host
cmake --preset win32
cmake --build --preset win32
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

ctest --preset win32 || status=1

# A short libFuzzer run of every fuzzer (fuzz/run.sh 3600 for a long one).
bash fuzz/run.sh 20 || status=1

# The packages: built, lintian, installed, the services run as their units
# start them, purged. Skipped (77) where it cannot install.
pkg_status=0
bash tests/packages/run.sh || pkg_status=$?
[ "$pkg_status" -eq 0 ] || [ "$pkg_status" -eq 77 ] || status=1
exit $status
