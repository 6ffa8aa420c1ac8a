#!/bin/bash
# The rehearsal tool's rules of a unit: the reboot rule of an old installed
# system (with and without /initrd), the updater's arguments after --, and the
# backup a failed run keeps, copied out, with the progress saying it failed.
set -u
src="$1"; build="$2"
. "$src/tests/scripts/lib/rehearse_setup.sh"

# The reboot rule of an old installed system: 24 after 301 s, unless the
# unit has no /initrd. Arguments after -- reach the updater whole.
sed 's/500/300/' "$tmp/installed" > "$tmp/old"
rehearse --installed "$tmp/old" --uptime 301 --out "$tmp/up" -- "an operand" > /dev/null 2>&1
rc=$?
check "reboot rule" '[ $rc = 24 ] && grep -q "REBOOT" "$tmp/up/update.message" &&
    grep -q "operand \[an operand\] ignored" "$tmp/up/updater.out"'
rehearse --installed "$tmp/old" --uptime 301 --no-initrd --out "$tmp/up2" > /dev/null 2>&1
check "no /initrd, no reboot rule" '[ $? = 0 ]'

# A failed run whose roll-back fails keeps its backup: it is copied out.
# Two rows change; the second directory entry cannot be written, nor the
# first put back, so the kernel row keeps its new image and the backup.
cp -r "$tmp/pkg" "$tmp/pkg2"
head -c 300000 /dev/urandom > "$tmp/pkg2/rd.bin"
"$src/sim/qavo-rehearse" --build "$build" --package "$tmp/pkg2" --installed "$tmp/installed" \
    --sim "fault setfisentry mtd7 2 always" --out "$tmp/kept" --watch > "$tmp/said" 2>&1
rc=$?
check "backup kept and copied" '[ $rc = 20 ] && [ -s "$tmp/kept/b@ckup/mtd_zImage" ] &&
    grep -qx "backup_kept=\"yes\"" "$tmp/kept/summary"'
check "the progress says failed with the key" 'grep -qx "  failed (P:-20): error_update_unknown: .*" "$tmp/said"'

[ $fail = 0 ] && echo "rehearsal rules: ok"
exit $fail
