#!/bin/bash
# The shares of one volume, the writeable shares of a user and a case-less
# lookup over an smb.conf of 1,000 and of 10,000 shares, against Samba's
# "testparm -s" loading the same file, as ratios of times in one run.
#   sharelookup_vs_testparm.sh SRC BUILD
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib/args.sh"
"$src/sim/appliance" --build "$build" -- bash -s "$build/bench/qavo_bench" <<'INNER'
set -eu
bench="$1"
mkdir -p /run/samba /var/lib/samba/private /var/cache/samba /var/log/samba
for n in 1000 10000; do
    json=$("$bench" --benchmark_filter="^BM_Share(EnumByVolume|WriteableGet|GetCaseLess)/$n/" \
        --benchmark_format=json 2>/dev/null)
    # Mean microseconds of five loads of the file the benchmark left in place.
    total=0
    for i in 1 2 3 4 5; do
        t0=$(date +%s%N)
        /usr/bin/testparm -s /usr/qavo/etc/smb.conf >/dev/null 2>&1
        t1=$(date +%s%N)
        total=$((total + (t1 - t0) / 1000))
    done
    python3 - "$json" "$((total / 5))" "$n" <<'PY'
import json, sys
b = {x["run_name"].split("/")[0]: x["real_time"] * {"ms": 1000, "us": 1, "ns": 0.001}[x["time_unit"]]
     for x in json.loads(sys.argv[1])["benchmarks"]}
tp = float(sys.argv[2])
n = f"{int(sys.argv[3]):,}"
print(f"testparm -s on {n} shares: {tp / 1000:.2f} ms")
for name, what in [("BM_ShareEnumByVolume", "shares of volume 1 (count + fill)"),
                   ("BM_ShareWriteableGet", "writeable shares of a user"),
                   ("BM_ShareGetCaseLess", "case-less lookup of the last share")]:
    print(f"  {what}: {b[name] / 1000:.2f} ms, ratio to testparm {b[name] / tp:.3f}")
PY
done
INNER
