#!/bin/bash
# Event records written per second against syslog messages sent by logger to
# the appliance root's local /dev/log socket, as a ratio in the same run; and,
# when the build tree lies on ext4, the event log on ext4 against the durable
# floor there (one write and one fsync of the same record bytes).
#   eventlog_vs_logger.sh SRC BUILD [messages]
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib/args.sh"
n="${3:-20000}"
bind=()
if [ "$(stat -f -c %T "$build")" = "ext2/ext3" ]; then
    ext4="$(mktemp -d "$build/bench-ext4.XXXXXX")"
    trap 'rm -rf "$ext4"' EXIT
    bind=(--bind "$ext4" /ext4)
fi
"$src/sim/appliance" --build "$build" "${bind[@]}" -- bash -s "$build/bench/qavo_bench" "$n" <<'INNER'
set -eu
bench="$1"; n="$2"
[ -d /ext4 ] && export QAVO_BENCH_EXT4=/ext4
json=$("$bench" --benchmark_filter='^BM_EventLogWrite$' --benchmark_format=json \
       --benchmark_min_time=2 2>/dev/null)
ext4json='{"benchmarks": []}'
if [ -d /ext4 ]; then
    ext4json=$("$bench" --benchmark_filter='^BM_(EventLogWrite|RecordWriteFsyncFloor)_ext4$' \
               --benchmark_format=json --benchmark_min_time=2 2>/dev/null)
fi
seq "$n" | sed 's/^/conn event from 192.168.1.20 share1 SMB /' > /tmp/lines
t0=$(date +%s.%N)
logger -u /dev/log -t bench < /tmp/lines
t1=$(date +%s.%N)
python3 - "$t0" "$t1" "$n" "$json" "$ext4json" <<'PY'
import json, sys
t0, t1, n = float(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
rate = {x["name"]: x.get("items_per_second") for x in json.loads(sys.argv[4])["benchmarks"]}
rate.update({x["name"]: x.get("items_per_second") for x in json.loads(sys.argv[5])["benchmarks"]})
ev = rate["BM_EventLogWrite"]
lg = n / (t1 - t0)
print(f"event log: {ev:.0f} records/s, logger to /dev/log: {lg:.0f} messages/s, ratio {ev / lg:.3f}")
e4, fl = rate.get("BM_EventLogWrite_ext4"), rate.get("BM_RecordWriteFsyncFloor_ext4")
if e4 and fl:
    print(f"event log on ext4: {e4:.0f} records/s, write+fsync floor: {fl:.0f} records/s, "
          f"cost {fl / e4:.2f} times the floor")
else:
    print("event log on ext4: not measured (the build tree is not on ext4)")
PY
INNER
