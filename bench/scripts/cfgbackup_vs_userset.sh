#!/bin/bash
# The configuration backup of 1,000 users, groups and shares: export and
# import (onto fresh accounts, overwrite 1) in seconds, and the import set
# against one user transaction adding the same 1,000 users, in one run.
#   cfgbackup_vs_userset.sh SRC BUILD
set -eu
src="$1"; build="$2"
json=$("$src/sim/appliance" --build "$build" -- "$build/bench/qavo_bench" \
    --benchmark_filter='^BM_CfgBackup' --benchmark_format=json 2>/dev/null)
python3 - "$json" <<'PY'
import json, sys
b = {x["name"].split("/")[0]: x["real_time"] * {"ms": 1e-3, "us": 1e-6, "ns": 1e-9}[x["time_unit"]]
     for x in json.loads(sys.argv[1])["benchmarks"]}
exp, imp, batch = b["BM_CfgBackupExport"], b["BM_CfgBackupImport"], b["BM_CfgBackupUserSetBatch"]
print(f"export of 1,000 users, groups and shares: {exp:.2f} s")
print(f"import of the same onto fresh accounts: {imp:.2f} s")
print(f"one user transaction adding the 1,000 users: {batch:.2f} s, import ratio {imp / batch:.1f}")
PY
