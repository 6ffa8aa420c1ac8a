#!/bin/bash
# Throughput of the emulated flash (FUSE, direct I/O) against a plain tmpfs
# file of the same size, in one appliance root: writes in 16 KiB chunks as the
# updater writes images, reads in 8 KiB chunks as it verifies them. The chip
# powers up locked; one unlock request opens it before the writes.
#   flash_throughput.sh SRC BUILD [MiB] [rounds]
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib/args.sh"
mib="${3:-12}"; rounds="${4:-5}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
size=$((mib * 1024 * 1024))
cat > "$tmp/bench.desc" <<DESC
chip 0xFE000000 0x2000000 0x20000
part zImage 0xFE000000 $(printf '0x%X' "$size")
part "FIS Directory" 0xFFFE0000 0x20000
DESC
"$src/sim/appliance" --build "$build" --sim "$tmp/bench.desc" -- \
    bash -s "$size" "$rounds" <<'INNER'
set -eu
size="$1"; rounds="$2"
"$QAVO_BUILD/bench/qavo-mtd-erase" -u /dev/mtd0
head -c "$size" /dev/urandom > /tmp/src
head -c "$size" /dev/zero > /tmp/ref
now() { date +%s.%N; }
run() {  # seconds for all rounds of one dd command line
    local t0 t1
    t0=$(now)
    for _ in $(seq "$rounds"); do dd "$@" status=none; done
    t1=$(now)
    echo "$t0 $t1" | awk '{printf "%.6f", $2 - $1}'
}
wf=$(run if=/tmp/src of=/dev/mtd0 bs=16384 conv=notrunc)
wt=$(run if=/tmp/src of=/tmp/ref bs=16384 conv=notrunc)
rf=$(run if=/dev/mtd0 of=/dev/null bs=8192)
rt=$(run if=/tmp/ref of=/dev/null bs=8192)
awk -v s="$size" -v n="$rounds" -v wf="$wf" -v wt="$wt" -v rf="$rf" -v rt="$rt" 'BEGIN {
    mb = s * n / 1048576
    printf "flash write: %.0f MiB/s, tmpfs file %.0f MiB/s, ratio %.3f (16 KiB chunks)\n", mb / wf, mb / wt, wt / wf
    printf "flash read:  %.0f MiB/s, tmpfs file %.0f MiB/s, ratio %.3f (8 KiB chunks)\n", mb / rf, mb / rt, rt / rf
}'
INNER
