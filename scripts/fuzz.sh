#!/usr/bin/env bash
# Usage: scripts/fuzz.sh [seconds-per-target] [executions-per-target]
# Builds the libFuzzer targets of fuzz/ with clang 14 (ASan + UBSan) and runs
# them one after the other, each for the given time (default 60; 0 for no time
# limit) or the given number of executions, whichever ends first, on one core.
# Each target starts from its seeds in fuzz/seeds and keeps what it learns in
# <build>/fuzz-runs/corpus, so a later run goes on from there. Prints for each
# target its executions, executions per second and coverage, and for a finding
# the path of its reproducer. Exits non-zero on a finding.
#   FUZZ_BUILD_DIR  build directory (default build-fuzz)
#   FUZZ_TARGETS    space-separated subset of the targets to run
#   FUZZ_JOBS       how many targets run at the same time (default 1)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
executions=${2:--1}
jobs=${FUZZ_JOBS:-1}
if [ "$seconds" = 0 ] && [ "$executions" -lt 0 ]; then
    echo "fuzz.sh: give a time or an execution budget" >&2
    exit 2
fi
build=${FUZZ_BUILD_DIR:-$here/build-fuzz}
runs=$build/fuzz-runs
targets=${FUZZ_TARGETS:-fuzz_engine fuzz_wire fuzz_unit_reply fuzz_unit_encoders fuzz_config fuzz_last_address}

bash "$here/scripts/setup.sh"
flags="-O1 -gline-tables-only -fno-omit-frame-pointer"
flags+=" -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_CXX_FLAGS="$flags" \
    -DPSMR_BUILD_TESTS=OFF -DPSMR_BUILD_FUZZERS=ON >/dev/null
cmake --build "$build" --target fuzzers -j "$(nproc)"

dictionary() {
    case $1 in
        fuzz_config) echo "-dict=$here/fuzz/dict/xml.dict" ;;
        fuzz_unit_reply | fuzz_last_address) echo "-dict=$here/fuzz/dict/unit.dict" ;;
    esac
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# One target, its log and a fresh-findings marker under fuzz-runs; the status
# goes to <log>.status.
run_target() {
    local target=$1 corpus=$runs/corpus/$1 found=$runs/findings/$1 log=$runs/logs/$1.log
    mkdir -p "$corpus" "$found" "$(dirname "$log")"
    touch "$log.start"
    local status=0
    # shellcheck disable=SC2046
    "$build/fuzz/$target" -max_total_time="$seconds" -runs="$executions" -print_final_stats=1 \
        -timeout=10 -rss_limit_mb=2048 -artifact_prefix="$found/" $(dictionary "$target") \
        "$corpus" "$here/fuzz/seeds/$target" >"$log" 2>&1 || status=$?
    echo "$status" >"$log.status"
}

running=0
for target in $targets; do
    if [ "$jobs" -le 1 ]; then
        run_target "$target"
        continue
    fi
    run_target "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
done
wait

findings=0
printf '%-20s %12s %10s %8s  %s\n' target executions exec/s cov result
for target in $targets; do
    found=$runs/findings/$target
    log=$runs/logs/$target.log
    status=$(cat "$log.status" 2>/dev/null || echo 1)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    result=ok
    reproducers=$(find "$found" -type f -newer "$log.start" 2>/dev/null || true)
    if [ "$status" -ne 0 ] || [ -n "$reproducers" ]; then
        result="FINDING (exit $status, log $log)"
        findings=$((findings + 1))
    fi
    printf '%-20s %12s %10s %8s  %s\n' "$target" "${execs:-?}" "${rate:-?}" "${cov:-?}" "$result"
    for r in $reproducers; do
        echo "    reproducer: $r"
    done
done
if [ "$findings" -gt 0 ]; then
    echo "$findings target(s) with findings; rerun one with: <build>/fuzz/<target> <reproducer>" >&2
    exit 1
fi
