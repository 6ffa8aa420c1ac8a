#!/bin/bash
# The configuration backup of N users, groups and shares: the export of
# 1,000, and each import (overwrite 1) set against one user transaction on
# the same users, in one run: onto fresh accounts against adding the 1,000
# users, and onto accounts that hold the users already (the range of new
# uids holds about a thousand) against changing them, at 1,000 and 10,000.
#   cfgbackup_vs_userset.sh SRC BUILD
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib/args.sh"
json=$("$src/sim/appliance" --build "$build" -- "$build/bench/qavo_bench" \
    --benchmark_filter='^BM_CfgBackup' --benchmark_format=json 2>/dev/null)
python3 - "$json" <<'PY'
import json, sys
b = {"/".join(x["name"].split("/")[:2]): x["real_time"] * {"ms": 1e-3, "us": 1e-6, "ns": 1e-9}[x["time_unit"]]
     for x in json.loads(sys.argv[1])["benchmarks"]}
print(f"export of 1,000 users, groups and shares: {b['BM_CfgBackupExport/1000']:.2f} s")
imp, add = b["BM_CfgBackupImport/1000"], b["BM_CfgBackupUserSetBatch/1000"]
# An import stops the network services first and starts them again at the
# end, whatever the file holds: the import of one record of each kind shows
# that fixed part, and the records' own part is what is left.
fixed = b["BM_CfgBackupImport/1"]
print(f"import of 1,000 onto fresh accounts: {imp:.2f} s; one user transaction adding the "
      f"1,000 users: {add:.2f} s; ratio {imp / add:.1f}")
print(f"  of which the services' stop and start (an import of one record of each kind): "
      f"{fixed:.2f} s; the records' part {imp - fixed:.2f} s, ratio {(imp - fixed) / add:.1f}")
for n in (1000, 10000):
    imp, change = b[f"BM_CfgBackupImportOver/{n}"], b[f"BM_CfgBackupUserSetChange/{n}"]
    print(f"import of {n:,} onto accounts holding the users: {imp:.2f} s; one user transaction "
          f"changing the {n:,} users: {change:.2f} s; ratio {imp / change:.1f}")
PY
