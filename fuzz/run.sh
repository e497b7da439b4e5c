#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each one for SECONDS.
#
#   fuzz/run.sh            30 s per target (the short run for CI)
#   fuzz/run.sh 3600       an hour per target
#   fuzz/run.sh 60 wsprintf text     only these targets
#
# Fails if a target crashes, leaks, times out or breaks one of its checks;
# the input that did it is copied to fuzz/crashes/<target>/. Inputs kept
# there from earlier runs are replayed first and fail the run while they
# still crash.
#
# The working corpus lives in a temporary directory and is thrown away, so
# the committed seeds in fuzz/corpus/<target>/ do not grow. FUZZ_MERGE=1 adds
# to them only the new inputs that reach new coverage.
#
# FUZZ_BUILD_DIR (default build/fuzz) and FUZZ_CXX (default clang++) pick the
# build directory and the compiler.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
shift || true
if [[ ! $seconds =~ ^[0-9]+$ ]] || ((seconds < 1)); then
    echo "usage: fuzz/run.sh [SECONDS] [TARGET...]" >&2
    exit 2
fi
targets=("$@")
if ((${#targets[@]} == 0)); then
    targets=(command_line phonebook wsprintf text compare server)
fi
build=${FUZZ_BUILD_DIR:-$root/build/fuzz}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "fuzz: building in $build"
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="${FUZZ_CXX:-clang++}" >"$work/build.log" 2>&1 ||
    { cat "$work/build.log"; exit 1; }
cmake --build "$build" -j "$(nproc)" >>"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }

# What went wrong: the failed check (and its detail line), sanitizer reports,
# and the stack frames in the project's own code.
excerpt() {
    grep -E -A1 "check failed|runtime error|^==[0-9]+==ERROR|^SUMMARY|^Running:" "$1" |
        grep -v '^--$' | head -12
    grep -E "^ +#[0-9]+ .* $root/" "$1" | grep -v '/fuzz/fuzz_support.h' | head -12
}

status=0
for t in "${targets[@]}"; do
    bin=$build/fuzz_$t
    if [[ ! -x $bin ]]; then
        echo "fuzz: no target $t" >&2
        status=1
        continue
    fi
    crashes=$root/fuzz/crashes/$t
    if compgen -G "$crashes/*" >/dev/null; then
        if ! "$bin" -runs=0 "$crashes"/* >"$work/$t.known.log" 2>&1; then
            echo "fuzz: $t: a kept input in fuzz/crashes/$t still fails:"
            excerpt "$work/$t.known.log"
            status=1
        fi
    fi

    mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
    args=("$work/$t/corpus" "$root/fuzz/corpus/$t"
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096
        -print_final_stats=1 -artifact_prefix="$work/$t/artifacts/")
    if [[ -f $root/fuzz/dict/$t.dict ]]; then
        args+=(-dict="$root/fuzz/dict/$t.dict")
    fi
    rc=0
    "$bin" "${args[@]}" >"$work/$t.log" 2>&1 || rc=$?

    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t.log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$t.log" | tail -1)
    cov=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' "$work/$t.log" | tail -1 || true)
    if ((rc != 0)) || compgen -G "$work/$t/artifacts/*" >/dev/null; then
        mkdir -p "$crashes"
        cp "$work/$t/artifacts/"* "$crashes/" 2>/dev/null || true
        echo "fuzz: $t FAILED (exit $rc) after ${runs:-?} runs; input kept in fuzz/crashes/$t:"
        ls "$crashes"
        excerpt "$work/$t.log"
        status=1
    else
        echo "fuzz: $t ok: ${runs:-0} runs in ${seconds}s, ${rate:-0} exec/s, $cov"
    fi

    if [[ ${FUZZ_MERGE:-0} == 1 ]]; then
        before=$(find "$root/fuzz/corpus/$t" -type f | wc -l)
        "$bin" -merge=1 "$root/fuzz/corpus/$t" "$work/$t/corpus" >"$work/$t.merge.log" 2>&1 || true
        after=$(find "$root/fuzz/corpus/$t" -type f | wc -l)
        echo "fuzz: $t: merged $((after - before)) new inputs into fuzz/corpus/$t"
    fi
done
exit $status
