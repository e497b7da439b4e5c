#!/usr/bin/env bash
# The cancel protocol at random moments, many times over, under
# ThreadSanitizer: builds test_cancel_stress with the host-tsan preset and
# runs it for ITERATIONS rounds (TOVIX_STRESS_ITERATIONS).
#
#   tests/stress/cancel-stress.sh [ITERATIONS]     default 3000
#   CANCEL_STRESS_BIN=path/to/test_cancel_stress tests/stress/cancel-stress.sh 500
#       (runs that binary as it is, without building)
#
# Stops the run after CANCEL_STRESS_TIME_LIMIT seconds (default: 1 s per
# iteration, at least 300) and fails then, as on any ThreadSanitizer report
# (halt_on_error=1) or test failure.
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
iterations=${1:-3000}
if [[ ! $iterations =~ ^[0-9]+$ ]] || ((iterations < 1)); then
    echo "usage: $0 [ITERATIONS]" >&2
    exit 2
fi
limit=${CANCEL_STRESS_TIME_LIMIT:-$((iterations > 300 ? iterations : 300))}

bin=${CANCEL_STRESS_BIN:-}
if [[ -z $bin ]]; then
    cd "$root"
    echo "cancel-stress: building test_cancel_stress (preset host-tsan)"
    log=$(mktemp)
    trap 'rm -f "$log"' EXIT
    if ! { cmake --preset host-tsan && cmake --build --preset host-tsan --target test_cancel_stress; } \
        >"$log" 2>&1; then
        tail -30 "$log"
        echo "cancel-stress: FAIL: test_cancel_stress does not build" >&2
        exit 1
    fi
    bin=$root/build/host-tsan/test_cancel_stress
fi
[[ -x $bin ]] || { echo "cancel-stress: FAIL: no $bin" >&2; exit 1; }

echo "cancel-stress: $iterations iterations of $bin (time limit ${limit}s)"
start=$SECONDS
rc=0
TOVIX_STRESS_ITERATIONS=$iterations \
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
    timeout --kill-after=10 "$limit" "$bin" --gtest_color=no || rc=$?
elapsed=$((SECONDS - start))
if ((rc == 124 || rc == 137)); then
    echo "cancel-stress: FAIL: still running after ${limit}s" >&2
    exit 1
fi
if ((rc != 0)); then
    echo "cancel-stress: FAIL: exit status $rc after ${elapsed}s" >&2
    exit 1
fi
echo "cancel-stress: $iterations iterations passed in ${elapsed}s"
