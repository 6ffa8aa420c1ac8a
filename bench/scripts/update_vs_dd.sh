#!/bin/bash
# A whole update of the full edition's 8 MiB flash against dd writing the same
# images to the same emulated devices, in one appliance root: the updater
# (analysis, service stop, backup of every partition, erase-write-verify of
# six partitions with their directory entries, backup removal) and, in turn,
# one dd per image. Prints the ratio of wall times (dd / updater), the same
# for a group update ("-g": no analysis, service stop or backup, so the flash
# stage alone) and the updater's peak memory (VmHWM, its own process, without
# the dd it runs). Each updater run starts on a chip just powered up, every
# block locked, as on a unit, with new images for every partition (a package
# the chip already holds is compared, not written); dd unlocks each device
# (one MEMUNLOCK request, timed with it) before it writes.
#   update_vs_dd.sh SRC BUILD [rounds]
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib/update_bench.sh"
# Not strict: dd writes without an erase, as a bare copy would.
printf 'edition full\nuptime 120\n' > "$tmp/bench.desc"
in_unit <<'INNER'
# Images that fill their partitions: 7.75 MiB of the 8 MiB chip.
imgs="RedBoot.msys:0:262144 zImage:1:2097152 rd.bin:2:3145728 AllLib.tgz:3:2097152 vendor:4:131072 qavocfg:5:393216"
fresh() {
    for i in $imgs; do
        IFS=: read -r f _ n <<< "$i"
        head -c "$n" /dev/urandom > "$pkg/$f"
    done
}
updater_run() {
    local t0 t1 pid hwm=0 v
    fresh
    env -u LD_PRELOAD "$QAVO_BUILD/sim/qavo-sim" ctl powerup
    t0=$(now)
    "$pkg/updater" "$@" > /dev/null 2>&1 &
    pid=$!
    while v=$(awk '/^VmHWM:/ {print $2}' "/proc/$pid/status" 2>/dev/null); do
        [ -n "$v" ] && [ "$v" -gt "$hwm" ] && hwm=$v
        sleep 0.005
    done
    wait "$pid" || { echo "updater failed: $?" >&2; return 1; }
    t1=$(now)
    echo "$t0 $t1 $hwm" | awk '{printf "%.6f %d", $2 - $1, $3}'
}
dd_run() {
    local t0 t1 f d n
    t0=$(now)
    for i in $imgs; do
        IFS=: read -r f d n <<< "$i"
        "$QAVO_BUILD/bench/qavo-mtd-erase" -u "/dev/mtd$d" &&
            dd if="$pkg/$f" of="/dev/mtd$d" bs=16384 status=none ||
            { echo "dd reference failed on /dev/mtd$d" >&2; return 1; }
    done
    t1=$(now)
    echo "$t0 $t1" | awk '{printf "%.6f", $2 - $1}'
}
add() { echo "$1 $2" | awk '{print $1 + $2}'; }
tu=0 tg=0 td=0 peak=0
for _ in $(seq "$rounds"); do
    r=$(updater_run) || exit 1
    read -r t h <<< "$r"
    [ "$h" -gt "$peak" ] && peak=$h
    tu=$(add "$tu" "$t")
    r=$(updater_run -g) || exit 1
    read -r t h <<< "$r"
    [ "$h" -gt "$peak" ] && peak=$h
    tg=$(add "$tg" "$t")
    r=$(dd_run) || exit 1
    td=$(add "$td" "$r")
done
awk -v tu="$tu" -v tg="$tg" -v td="$td" -v n="$rounds" -v peak="$peak" 'BEGIN {
    printf "whole update of 8 MiB: updater %.3f s, dd of the images %.3f s, ratio dd/updater %.3f (%d rounds)\n", tu / n, td / n, td / tu, n
    printf "flash stage alone (-g): updater %.3f s, ratio dd/updater %.3f\n", tg / n, td / tg
    printf "updater peak memory (VmHWM): %d KiB\n", peak
}'
INNER
