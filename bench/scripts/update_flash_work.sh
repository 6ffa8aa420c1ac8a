#!/bin/bash
# Flash work of an update against its physical minimum, and the flash stage
# against bare tools, on the full edition's 8 MiB chip in one appliance root.
#
# The installed system fills every partition to its data length. Three
# packages, each bringing all six images (as a unit's firmware does):
#   all      every image changed;
#   kernel   only the kernel and the RAM disk changed, the others identical;
#   same     every image identical to the installed one.
# For each, one complete update (exit 0 required), counted from the
# emulator's journal and the chips before and after, outside the flash
# directory's block: erase blocks erased / erase blocks whose content differs,
# bytes programmed / bytes that differ (the physical minimum; 1.000 is ideal).
#
# Then the flash stage alone ("-g", package "all") against a reference doing
# the same flash work with bare tools: the unlock and erase requests the
# updater issued (qavo-mtd-erase, one MEMUNLOCK or MEMERASE each) and dd
# writing the same images to the same devices. Printed as the ratio of wall
# times, reference / updater. Every run starts on a chip just powered up,
# every block locked, as on a unit.
#   update_flash_work.sh SRC BUILD [rounds]
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib/update_bench.sh"
printf 'edition full\nstrict on\nuptime 120\n' > "$tmp/bench.desc"
in_unit <<'INNER'
# The emulator's tool runs without the preloaded kernel shim.
sim() { env -u LD_PRELOAD "$QAVO_BUILD/sim/qavo-sim" "$@"; }
erase="$QAVO_BUILD/bench/qavo-mtd-erase"
mkdir -p /tmp/installed /tmp/changed
# image file, device, installed data length (the power-up directory's)
rows="RedBoot.msys:0:238664 zImage:1:1835008 rd.bin:2:2883584 AllLib.tgz:3:1703936 vendor:4:131072 qavocfg:5:393216"
sim ctl "unlock all"  # laid as a programmer lays it
for r in $rows; do
    IFS=: read -r f d n <<< "$r"
    head -c "$n" /dev/urandom > "/tmp/installed/$f"
    head -c "$n" /dev/urandom > "/tmp/changed/$f"
    dd if="/tmp/installed/$f" of="/dev/mtd$d" bs=16384 status=none
done
sim dump /tmp/chip.installed
dirblock=$((0x7E0000))   # the flash directory's erase block (chip offset)

package() {  # all | kernel | same
    local f
    for r in $rows; do
        IFS=: read -r f _ _ <<< "$r"
        case "$1:$f" in
            all:*|kernel:zImage|kernel:rd.bin) cp "/tmp/changed/$f" "$pkg/$f" ;;
            *) cp "/tmp/installed/$f" "$pkg/$f" ;;
        esac
    done
}

fresh() {
    sim load /tmp/chip.installed
    sim ctl powerup
    rm -rf "$pkg/b@ckup" /tmp/update.progress /tmp/update.message
}

work() {  # one complete update of package $1: its flash work and the minimum
    package "$1"
    fresh
    "$pkg/updater" > /dev/null 2>&1 || { echo "updater failed on package $1: $?" >&2; exit 1; }
    sim journal > "/tmp/journal.$1"
    sim dump "/tmp/chip.$1"
    # Work outside the directory: erase blocks erased, bytes programmed;
    # directory erases and entry rewrites apart.
    read -r eb pb de dw <<< "$(awk '
        function hex(s,   i, v) { v = 0; for (i = 3; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", tolower(substr(s, i, 1))) - 1; return v }
        $1 != "mtd7" && $2 == "erase" && $5 == 0 { eb += hex($4) / 131072 }
        $1 != "mtd7" && $2 == "write" && $5 > 0 { pb += $5 }
        $1 == "mtd7" && $2 == "erase" && $5 == 0 { de++ }
        $2 == "setfisentry" && $5 == 0 { dw++ }
        END { printf "%d %d %d %d", eb, pb, de, dw }' "/tmp/journal.$1")"
    read -r mb mbytes <<< "$(cmp -l /tmp/chip.installed "/tmp/chip.$1" | awk -v dir="$dirblock" '
        { off = $1 - 1; if (off < dir) { n++; b[int(off / 131072)] = 1 } }
        END { for (k in b) m++; printf "%d %d", m, n }')"
    awk -v p="$1" -v eb="$eb" -v mb="$mb" -v pb="$pb" -v mbytes="$mbytes" -v de="$de" -v dw="$dw" 'BEGIN {
        if (mb > 0)
            printf "%-7s erase blocks erased %d / differing %d = %.3f; bytes programmed %d / differing %d = %.3f (directory: %d erases, %d entry rewrites)\n",
                p, eb, mb, eb / mb, pb, mbytes, (mbytes ? pb / mbytes : 0), de, dw
        else
            printf "%-7s erase blocks erased %d, bytes programmed %d, where nothing differs (minimum 0) (directory: %d erases, %d entry rewrites)\n",
                p, eb, pb, de, dw
    }'
}

echo "flash work of a complete update against its minimum (outside the directory):"
for p in all kernel same; do work "$p"; done

package all
tu=0 tr=0
for i in $(seq "$rounds"); do
    fresh
    t0=$(now)
    "$pkg/updater" -g > /dev/null 2>&1 || { echo "updater -g failed: $?" >&2; exit 1; }
    t1=$(now)
    tu=$(echo "$tu $t0 $t1" | awk '{print $1 + $3 - $2}')
    if [ "$i" = 1 ]; then
        sim journal > /tmp/journal.g
        # The same unlocks and erases, then dd of the images to the devices
        # written.
        awk '($2 == "unlock" || $2 == "erase") && $5 == 0 { print $2, $1, $3, $4 }' \
            /tmp/journal.g > /tmp/erases
        awk '$2 == "write" && $5 > 0 && $1 != "mtd7" { print $1 }' /tmp/journal.g | sort -u > /tmp/written
    fi
    fresh
    t0=$(now)
    while read -r k d off len; do
        if [ "$k" = unlock ]; then "$erase" -u "/dev/$d" "$off" "$len"
        else "$erase" "/dev/$d" "$off" "$len"; fi
    done < /tmp/erases
    for r in $rows; do
        IFS=: read -r f d _ <<< "$r"
        grep -qx "mtd$d" /tmp/written || continue
        dd if="$pkg/$f" of="/dev/mtd$d" bs=16384 conv=notrunc status=none
    done
    t1=$(now)
    tr=$(echo "$tr $t0 $t1" | awk '{print $1 + $3 - $2}')
done
awk -v tu="$tu" -v tr="$tr" -v n="$rounds" -v e="$(wc -l < /tmp/erases)" 'BEGIN {
    printf "flash stage (-g, every image changed): updater %.3f s, unlock and erase requests (%d) + dd %.3f s, ratio reference/updater %.3f (%d rounds)\n", tu / n, e, tr / n, tr / tu, n
}'
INNER
