#!/bin/bash
# Ratios of the library's writers and string hash against their floors, in
# one run: setting one key of a 1,000-line file (key/value and line writers)
# against write+fsync+rename of the same bytes, without and with the
# directory fsync that makes the rename durable, on tmpfs and (when the build
# tree lies on ext4) on ext4; set+get of 10,000 keys against
# std::unordered_map. Repetitions run interleaved in random order, so that no
# contender alone pays for what the file system still has to write back.
#   writers_and_hash.sh SRC BUILD
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib/args.sh"
bind=()
if [ "$(stat -f -c %T "$build")" = "ext2/ext3" ]; then
    ext4="$(mktemp -d "$build/bench-ext4.XXXXXX")"
    trap 'rm -rf "$ext4"' EXIT
    bind=(--bind "$ext4" /ext4)
fi
"$src/sim/appliance" --build "$build" "${bind[@]}" -- bash -s "$build/bench/qavo_bench" <<'INNER'
set -eu
bench="$1"
[ -d /ext4 ] && export QAVO_BENCH_EXT4=/ext4
json=$("$bench" --benchmark_filter='SetOne|WriteFsyncRename|SzHashSetGet|UnorderedMapSetGet' \
       --benchmark_format=json --benchmark_repetitions=6 --benchmark_min_time=0.3 \
       --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
       2>/dev/null)
python3 - "$json" <<'PY'
import json, sys
t = {}
for b in json.loads(sys.argv[1])["benchmarks"]:
    if b.get("aggregate_name") == "median":
        t[b["run_name"]] = b["real_time"]
def ratio(what, a, b):
    if a in t and b in t:
        print(f"{what}: {t[a] / t[b]:.2f}")
for tag, fs in (("", "tmpfs"), ("_ext4", "ext4")):
    if "BM_KeyValueSetOne" + tag not in t:
        print(f"{fs}: not measured (the build tree is not on ext4)")
        continue
    for w, name in (("key/value set", "BM_KeyValueSetOne"), ("line set", "BM_LineSetOne")):
        ratio(f"{w} / write+fsync+rename on {fs}", name + tag, "BM_WriteFsyncRenameFloor" + tag)
        ratio(f"{w} / write+fsync+rename+directory fsync on {fs}", name + tag,
              "BM_WriteFsyncRenameDirSyncFloor" + tag)
ratio("string hash / std::unordered_map, set+get of 10,000 keys", "BM_SzHashSetGet",
      "BM_UnorderedMapSetGet")
PY
INNER
