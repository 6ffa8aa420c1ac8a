#!/bin/bash
# Export of a 100,000-record event log through the library against a plain
# Python reader of the ring format on the same file, as a ratio of times in
# the same run (the two outputs must agree line for line).
#   logexport_vs_decoder.sh SRC BUILD
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib/args.sh"
"$src/sim/appliance" --build "$build" -- bash -s "$build/bench/qavo_bench" "$src/tests/support/logexport.py" <<'INNER'
set -eu
bench="$1"; plain="$2"
json=$("$bench" --benchmark_filter='^BM_LogExport' --benchmark_format=json \
       --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null)
best=1e9
for i in 1 2 3; do
    t0=$(date +%s.%N)
    python3 "$plain" /var/log/qavosys.log enu /tmp/plain.out
    t1=$(date +%s.%N)
    best=$(python3 -c "print(min($best, $t1 - $t0))")
done
cmp -s /tmp/export.out /tmp/plain.out || { echo "outputs differ"; exit 1; }
python3 - "$best" "$json" "$(wc -l < /tmp/plain.out)" <<'PY'
import json, sys
plain, lines = float(sys.argv[1]) * 1000, int(sys.argv[3])
b = [x for x in json.loads(sys.argv[2])["benchmarks"]
     if x["name"].startswith("BM_LogExport") and x["name"].endswith("_median")][0]
ex = b["real_time"]
print(f"export of {lines} lines: library {ex:.1f} ms, plain decoder {plain:.1f} ms, "
      f"time ratio library/plain {ex / plain:.3f}")
PY
INNER
