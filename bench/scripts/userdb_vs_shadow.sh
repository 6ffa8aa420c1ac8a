#!/bin/bash
# Adding the 1,001st and the 10,001st user, and changing a password, through
# the user transaction against the shadow suite's useradd --prefix and
# usermod --prefix on account files of the same size, as ratios in one run.
#   userdb_vs_shadow.sh SRC BUILD
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib/args.sh"
"$src/sim/appliance" --build "$build" -- bash -s "$build/bench/qavo_bench" "$src" <<'INNER'
set -eu
bench="$1"
json=$("$bench" --benchmark_filter='^BM_UserDb' --benchmark_format=json 2>/dev/null)
. "$2/bench/scripts/lib/shadow_files.sh"
add1k=$(timed 5 1000 useradd --prefix "$pfx" -M -N -g 100 -s /bin/csh newbie)
add10k=$(timed 5 10000 useradd --prefix "$pfx" -M -N -g 100 -s /bin/csh newbie)
pw1k=$(timed 5 1000 usermod --prefix "$pfx" -p '$1$Cd$Y4VrSqX5m3ZmA1kpLk6b60' u3500)
pw10k=$(timed 5 10000 usermod --prefix "$pfx" -p '$1$Cd$Y4VrSqX5m3ZmA1kpLk6b60' u3500)
python3 - "$json" "$add1k" "$add10k" "$pw1k" "$pw10k" <<'PY'
import json, sys
b = {x["name"]: x["real_time"] * {"ms": 1000, "us": 1, "ns": 0.001}[x["time_unit"]]
     for x in json.loads(sys.argv[1])["benchmarks"]}
ref = dict(zip(["BM_UserDbAdd/1000/iterations:5", "BM_UserDbAdd/10000/iterations:5",
                "BM_UserDbPassword/1000/iterations:5", "BM_UserDbPassword/10000/iterations:5"],
               map(float, sys.argv[2:6])))
for name, shadow in ref.items():
    ours = b[name]
    what = ("add the %s user" % ("1,001st" if "/1000/" in name else "10,001st")) if "Add" in name \
        else ("change a password among %s users" % ("1,000" if "/1000/" in name else "10,000"))
    tool = "useradd" if "Add" in name else "usermod"
    print(f"{what}: {ours / 1000:.2f} ms, {tool} --prefix {shadow / 1000:.2f} ms, ratio {ours / shadow:.2f}")
PY
INNER
