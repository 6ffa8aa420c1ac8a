#!/bin/bash
# Conversion of 2,000 thirteen-entry companions (16 KiB forks) into the
# compact form against one cp copying the same files, as a ratio of times in
# the same run.
#   appledouble_vs_cp.sh SRC BUILD
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib/args.sh"
"$src/sim/appliance" --build "$build" -- bash -s "$build/bench/qavo_bench" <<'INNER'
set -eu
bench="$1"
json=$("$bench" --benchmark_filter='^BM_AppleDouble' --benchmark_format=json \
       --benchmark_repetitions=5 --benchmark_report_aggregates_only=true 2>/dev/null)
python3 - "$json" <<'PY'
import json, sys
b = {x["run_name"]: x["real_time"] for x in json.loads(sys.argv[1])["benchmarks"]
     if x.get("aggregate_name") == "median"}
conv = b["BM_AppleDoubleConvert/real_time"]
cp = b["BM_AppleDoubleCpReference/real_time"]
print(f"2000 companions: conversion {conv:.1f} ms, cp {cp:.1f} ms, "
      f"time ratio conversion/cp {conv / cp:.3f}")
PY
INNER
