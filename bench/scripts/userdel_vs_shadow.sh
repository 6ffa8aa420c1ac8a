#!/bin/bash
# Deleting one user of 10,000 against the shadow suite's userdel --prefix on
# the same files, and listing 10,000 users against getent passwd, as ratios
# in one run.
#   userdel_vs_shadow.sh SRC BUILD
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib/args.sh"
"$src/sim/appliance" --build "$build" -- bash -s "$build/bench/qavo_bench" "$src" <<'INNER'
set -eu
bench="$1"
json=$("$bench" --benchmark_filter='^BM_User(Delete|Enum)' --benchmark_format=json 2>/dev/null)
. "$2/bench/scripts/lib/shadow_files.sh"
del=$(timed 5 10000 userdel --prefix "$pfx" u3500)
fixture 10000
cp "$pfx/etc/passwd" /etc/passwd
echo "passwd: files" > /etc/nsswitch.conf
list=$(timed 20 0 getent passwd)
python3 - "$json" "$del" "$list" <<'PY'
import json, sys
b = {x["name"]: x["real_time"] * {"ms": 1000, "us": 1, "ns": 0.001}[x["time_unit"]]
     for x in json.loads(sys.argv[1])["benchmarks"]}
ours_del = b["BM_UserDelete/10000/iterations:5"]
ours_enum = b["BM_UserEnum/10000/iterations:20"]
ref_del, ref_enum = float(sys.argv[2]), float(sys.argv[3])
print(f"delete one user of 10,000: {ours_del / 1000:.2f} ms, userdel --prefix {ref_del / 1000:.2f} ms, "
      f"ratio {ours_del / ref_del:.2f}")
print(f"list 10,000 users: {ours_enum / 1000:.2f} ms, getent passwd {ref_enum / 1000:.2f} ms, "
      f"ratio {ours_enum / ref_enum:.2f}")
PY
INNER
