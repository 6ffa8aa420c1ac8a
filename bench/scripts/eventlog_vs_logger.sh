#!/bin/bash
# Event records written per second against syslog messages sent by logger to
# the appliance root's local /dev/log socket, as a ratio in the same run.
#   eventlog_vs_logger.sh SRC BUILD [messages]
set -eu
src="$1"; build="$2"; n="${3:-20000}"
"$src/sim/appliance" --build "$build" -- bash -s "$build/bench/qavo_bench" "$n" <<'INNER'
set -eu
bench="$1"; n="$2"
json=$("$bench" --benchmark_filter='^BM_EventLogWrite$' --benchmark_format=json \
       --benchmark_min_time=2 2>/dev/null)
seq "$n" | sed 's/^/conn event from 192.168.1.20 share1 SMB /' > /tmp/lines
t0=$(date +%s.%N)
logger -u /dev/log -t bench < /tmp/lines
t1=$(date +%s.%N)
python3 - "$t0" "$t1" "$n" "$json" <<'PY'
import json, sys
t0, t1, n = float(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
b = [x for x in json.loads(sys.argv[4])["benchmarks"] if x["name"] == "BM_EventLogWrite"][0]
ev = b["items_per_second"]
lg = n / (t1 - t0)
print(f"event log: {ev:.0f} records/s, logger to /dev/log: {lg:.0f} messages/s, ratio {ev / lg:.3f}")
PY
INNER
