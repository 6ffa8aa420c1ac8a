#!/bin/bash
# Builds optimised and runs the benchmarks: Google Benchmark inside the
# appliance root, then every bench/scripts/*.sh (each prints its ratios).
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$src/scripts/setup.sh"
build="$src/build/bench"
"$src/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DQAVO_TESTS=OFF
if [ -x "$build/bench/qavo_bench" ]; then
    "$src/sim/appliance" --build "$build" -- "$build/bench/qavo_bench" "$@"
fi
for s in "$src"/bench/scripts/*.sh; do
    [ -e "$s" ] || continue
    echo "== ${s##*/}"
    bash "$s" "$src" "$build"
done
