#!/bin/bash
# Sets everything up and runs all tests, built with AddressSanitizer and
# UndefinedBehaviorSanitizer (halting on the first error).
#   scripts/test.sh [ctest arguments...]   e.g. -R KeyValue
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$src/scripts/setup.sh"
"$src/scripts/check-format.sh"
build="${QAVO_TEST_BUILD:-$src/build/san}"
"$src/scripts/build.sh" "$build" -DQAVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DQAVO_WERROR=ON
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
cd "$build"
# A full run (no ctest arguments) starts with a short run of every fuzz
# target, three at a time, QAVO_FUZZ_SECONDS (default 15) each; 0 skips it.
# Its clang build, like the test build, stops on a warning.
if [ $# -eq 0 ] && [ "${QAVO_FUZZ_SECONDS:-15}" != 0 ]; then
    QAVO_WERROR=ON QAVO_FUZZ_JOBS="${QAVO_FUZZ_JOBS:-3}" "$src/scripts/fuzz.sh" \
        -t "${QAVO_FUZZ_SECONDS:-15}"
fi
# Every case runs once: a case that fails is a fault, in the case or in the
# product, never given a second chance.
ctest --output-on-failure -j"${QAVO_JOBS:-$(nproc)}" "$@"
