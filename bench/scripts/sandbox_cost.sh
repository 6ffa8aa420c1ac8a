#!/bin/bash
# Cost of one appliance root (what every test pays) against a bare bwrap
# start with the same namespaces, as a ratio in the same run.
#   sandbox_cost.sh SRC BUILD [starts]
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib/args.sh"
n="${3:-20}"
t0=$(date +%s.%N)
for _ in $(seq "$n"); do
    bwrap --unshare-pid --unshare-ipc --unshare-uts --unshare-net --die-with-parent \
          --ro-bind / / --dev /dev --proc /proc -- /bin/true
done
t1=$(date +%s.%N)
for _ in $(seq "$n"); do "$src/sim/appliance" --build "$build" -- /bin/true; done
t2=$(date +%s.%N)
python3 - "$t0" "$t1" "$t2" "$n" <<'PY'
import sys
t0, t1, t2, n = map(float, sys.argv[1:5])
bare = (t1 - t0) / n * 1000
full = (t2 - t1) / n * 1000
print(f"sandbox start: {full:.1f} ms per appliance root, bare bwrap {bare:.1f} ms, ratio {full / bare:.2f}")
PY
