#!/bin/bash
# Tovix's benchmarks, one command: builds what they need, runs them and prints
# the table (bench/README.md says what each row means).
#
#   bash bench/run.sh           full: 50+50 host runs, 15+15 Wine runs, 200
#                               cancels, 5 s per load level
#   bash bench/run.sh --quick   10+10, 5+5, 50 cancels, 2 s per level
#
# Then the group-commit table of bench/server_scale.sh, as long per level.
#
# Needs root (private network namespaces: the program's port 80 is fixed).
# Installs what is missing (the project's packages, wrk). Every load loop is
# bounded in count and time. Results stay in build/bench/ (BENCH_OUT).
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(dirname "$BENCH_DIR")
OUT=${BENCH_OUT:-$REPO/build/bench}

QUICK=0
case "${1:-}" in
--quick) QUICK=1 ;;
"") ;;
*)
    echo "usage: bash bench/run.sh [--quick]" >&2
    exit 2
    ;;
esac
if [ "$QUICK" = 1 ]; then
    HOST_RUNS=10 WINE_RUNS=5 CANCELS=50 LOAD_SECONDS=2
else
    HOST_RUNS=50 WINE_RUNS=15 CANCELS=200 LOAD_SECONDS=5
fi
LOAD_LEVELS=(1 8 32)

say() { printf '\n== %s\n' "$*" >&2; }

# A command in a private network namespace of its own, loopback up.
in_netns() { unshare -n sh -c 'ip link set lo up && exec "$@"' bench-netns "$@"; }

[ "$(id -u)" = 0 ] || {
    echo "bench/run.sh needs root (network namespaces, apt-get)" >&2
    exit 1
}

# ---- packages -------------------------------------------------------------------

say "packages"
bash "$REPO/scripts/install-deps.sh"
if ! command -v wrk >/dev/null; then
    # Waits for another apt-get to finish rather than failing on its lock.
    apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends wrk ||
        { apt-get -o DPkg::Lock::Timeout=300 update -q &&
            apt-get -o DPkg::Lock::Timeout=300 install -y -q --no-install-recommends wrk; }
fi
bash "$REPO/tests/wine/rig.sh" install

# ---- builds ---------------------------------------------------------------------

cd "$REPO"
say "build: host-release"
cmake --preset host-release >/dev/null
cmake --build --preset host-release --target tovix tovix-server bench_cancel_latency \
    bench_spawn >/dev/null
say "build: win32"
cmake --preset win32 >/dev/null
cmake --build --preset win32 --target Tovix bench_wininet_get bench_tovix_noicon \
    tovix_double_rasapi32 tovix_double_rasdlg >/dev/null

HOST=$REPO/build/host-release
WIN=$REPO/build/win32
TOVIX=$HOST/tovix
SERVER=$HOST/tovix-server
CANCEL=$HOST/bench/bench_cancel_latency
EXE=$WIN/Tovix.exe
EXE_NOICON=$WIN/bench/Tovix-noicon.exe
WININET_GET=$WIN/bench/wininet_get.exe
export BENCH_SPAWN=$HOST/bench/bench_spawn BENCH_MEASURE=$BENCH_DIR/measure.py

RIG=$OUT/wine-rig
teardown_rig() { bash "$REPO/tests/wine/rig.sh" teardown "$RIG" >/dev/null 2>&1 || true; }
teardown_rig # one left by an interrupted run
rm -rf "$OUT"
mkdir -p "$OUT"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY no_proxy NO_PROXY

bash "$BENCH_DIR/machine.sh" >"$OUT/machine.txt"

# ---- 1. host: tovix -Slient beside curl -----------------------------------------

say "1. host: tovix -Slient and curl, $HOST_RUNS runs each, alternating"
in_netns bash "$BENCH_DIR/host_runs.sh" \
    "$OUT" "$HOST_RUNS" "$TOVIX" "$SERVER"

# ---- 2. Wine: Tovix.exe -Slient beside wininet_get.exe --------------------------

say "2. Wine: Tovix.exe -Slient and wininet_get.exe, $WINE_RUNS runs each, alternating"
trap teardown_rig EXIT
bash "$REPO/tests/wine/rig.sh" setup "$RIG" "$OUT/wine-prefix" >&2
TOVIX_WINE_RIG=$RIG TOVIX_WINE_WORK=$OUT/wine-work TOVIX_EXE=$EXE \
    TOVIX_DOUBLE_RASAPI32=$WIN/tests/wine/doubles/rasapi32.dll \
    TOVIX_DOUBLE_RASDLG=$WIN/tests/wine/doubles/rasdlg.dll TOVIX_SERVER=$SERVER \
    BENCH_WININET_GET=$WININET_GET \
    bash "$BENCH_DIR/wine_runs.sh" "$OUT" "$WINE_RUNS"
teardown_rig
trap - EXIT

# ---- 3. host: cancel latency -------------------------------------------------------

say "3. host: cancel -> Close, $CANCELS times"
in_netns "$CANCEL" "$CANCELS" >"$OUT/cancel.txt"

# ---- 4. sizes ----------------------------------------------------------------------

say "4. sizes"
strip -o "$OUT/tovix.stripped" "$TOVIX"
{
    echo "exe=$(stat -c %s "$EXE")"
    echo "exe_noicon=$(stat -c %s "$EXE_NOICON")"
    echo "icon_bytes=$(python3 "$BENCH_DIR/measure.py" icon-bytes "$EXE")"
    echo "host=$(stat -c %s "$TOVIX")"
    echo "host_stripped=$(stat -c %s "$OUT/tovix.stripped")"
} >"$OUT/sizes.txt"

# ---- 5. tovix-server under load -----------------------------------------------------

say "5. tovix-server under load: ${LOAD_LEVELS[*]} connections, $LOAD_SECONDS s each"
in_netns bash "$BENCH_DIR/load.sh" "$OUT" "$SERVER" "$LOAD_SECONDS" "${LOAD_LEVELS[@]}"

# ---- the table ----------------------------------------------------------------------

say "results (files in $OUT)"
report=(python3 "$BENCH_DIR/measure.py" report "$OUT")
[ "$QUICK" = 1 ] && report+=(--quick)
"${report[@]}"

# ---- 6. the server's group commit beside the disk's own commit rate --------------

say "6. tovix-server group commit (bench/server_scale.sh)"
BENCH_OUT=$OUT/scale bash "$BENCH_DIR/server_scale.sh" "$LOAD_SECONDS"
