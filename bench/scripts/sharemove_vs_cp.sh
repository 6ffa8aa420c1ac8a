#!/bin/bash
# A share of 10,000 small and three 100 MiB files moved to another volume
# against "cp -a" + "rm -rf" and "rsync -a --remove-source-files", and the
# counting tree copy against "cp -a", as ratios of times in the same run.
#   sharemove_vs_cp.sh SRC BUILD
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib/args.sh"
"$src/sim/appliance" --build "$build" -- bash -s "$build/bench/qavo_bench" <<'INNER'
set -eu
bench="$1"
json=$("$bench" --benchmark_filter='^BM_Share(Move|DirCopy)' --benchmark_format=json 2>/dev/null)
python3 - "$json" <<'PY'
import json, sys
b = {x["run_name"].split("/")[0]: x["real_time"] for x in json.loads(sys.argv[1])["benchmarks"]}
move, cprm, rsync = b["BM_ShareMoveQavo"], b["BM_ShareMoveCpRm"], b["BM_ShareMoveRsync"]
copy, cpa = b["BM_ShareDirCopy"], b["BM_ShareDirCopyCpA"]
print(f"share move across volumes: {move:.0f} ms, cp -a + rm -rf {cprm:.0f} ms, "
      f"rsync -a --remove-source-files {rsync:.0f} ms")
print(f"  time ratio move/(cp+rm) {move / cprm:.3f}, move/rsync {move / rsync:.3f}")
print(f"counting tree copy: {copy:.0f} ms, cp -a {cpa:.0f} ms, time ratio {copy / cpa:.3f}")
PY
INNER
