#!/bin/bash
# Builds the libFuzzer targets (fuzz/*_fuzz.cpp) with clang, coverage,
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs each inside its
# own appliance root for a chosen time, at most QAVO_FUZZ_JOBS (default 2)
# at a time.
#   scripts/fuzz.sh [-t SECONDS] [target...]    (default 60 s, every target)
# Each target starts from its committed seeds (fuzz/corpus/<target>) and the
# inputs found by earlier runs (build/fuzz/work/<target>/corpus). A finding
# is written as build/fuzz/work/<target>/crash-... (or leak-, timeout-, oom-)
# and makes the script fail; the log of each run is
# build/fuzz/work/<target>/log. Reproduce one from the top of the tree with
#   sim/appliance --build build/fuzz -- build/fuzz/fuzz/<target> FILE
# Compiler warnings stop the build only with QAVO_WERROR=ON in the
# environment (scripts/test.sh, and so CI, sets it), as -DQAVO_WERROR=ON does
# for the other builds.
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds=60
if [ "${1:-}" = "-t" ]; then
    seconds="$2"
    shift 2
fi
case "$seconds" in ''|*[!0-9]*) echo "fuzz: bad time $seconds" >&2; exit 2 ;; esac

"$src/scripts/setup.sh"
build="${QAVO_FUZZ_BUILD:-$src/build/fuzz}"
CC=clang CXX=clang++ "$src/scripts/build.sh" "$build" -DQAVO_FUZZ=ON -DQAVO_TESTS=OFF \
    -DQAVO_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQAVO_WERROR="${QAVO_WERROR:-OFF}"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for f in "$src"/fuzz/*_fuzz.cpp; do
        t="${f##*/}"
        targets+=("${t%.cpp}")
    done
fi

# One target: a fresh appliance root, the work folder bound writable.
run_one() {
    local t="$1" work="$build/work/$1"
    mkdir -p "$work/corpus"
    rm -f "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*
    local seeds=()
    [ -d "$src/fuzz/corpus/$t" ] && seeds=("$src/fuzz/corpus/$t")
    local rc=0
    # A smaller quarantine keeps long runs of the slower targets, several at
    # once, far from their memory limit.
    ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:quarantine_size_mb=32:${ASAN_OPTIONS:-}" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}" \
        "$src/sim/appliance" --build "$build" --bind "$work" "$work" -- \
        "$build/fuzz/$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -max_len=4096 -print_final_stats=1 -artifact_prefix="$work/" \
        "$work/corpus" "${seeds[@]}" >"$work/log" 2>&1 || rc=$?
    local execs speed
    execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)"
    speed="$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/log" | tail -1)"
    if [ "$rc" -eq 0 ]; then
        printf 'fuzz: %-18s ok    %6s s  %10s runs  %7s exec/s\n' "$t" "$seconds" \
            "${execs:-?}" "${speed:-?}"
    else
        printf 'fuzz: %-18s FAIL  (status %s) see %s\n' "$t" "$rc" "$work/log"
        grep -E '^(==[0-9]+==ERROR|SUMMARY|.*check failed|.*runtime error)' "$work/log" |
            head -5 | sed 's/^/      /'
        return 1
    fi
}

jobs="${QAVO_FUZZ_JOBS:-2}"
failed=0
pids=()
for t in "${targets[@]}"; do
    [ -x "$build/fuzz/$t" ] || { echo "fuzz: no target $t" >&2; failed=1; continue; }
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do
        wait -n || failed=1
    done
    run_one "$t" &
    pids+=($!)
done
while [ "$(jobs -rp | wc -l)" -gt 0 ]; do
    wait -n || failed=1
done
# Children that finished before the loops waited for them.
for p in "${pids[@]}"; do
    wait "$p" 2>/dev/null || { [ $? -eq 127 ] || failed=1; }
done
exit "$failed"
