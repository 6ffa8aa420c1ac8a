#!/bin/bash
# The rehearsal tool: a package rehearsed on the full edition's default chip
# and again from the chip image it wrote out, a package the version rules
# refuse, the results written out, the report of the partitions changed, and
# the refusal of a chip image of neither size.
set -u
src="$1"; build="$2"
. "$src/tests/scripts/lib/rehearse_setup.sh"

"$src/sim/qavo-rehearse" --build "$build" --package "$tmp/pkg" --installed "$tmp/installed" \
    --out "$tmp/out" --watch > "$tmp/said" 2>&1
rc=$?
check "rehearsal runs" '[ "$(cat "$tmp/out/status" 2>/dev/null)" = 0 ] && [ $rc = 0 ]'
check "progress into a file: one plain line per change" '! grep -q $'"'"'\r'"'"' "$tmp/said" &&
    grep -qE "^  P:[0-9]+ flash$" "$tmp/said" && grep -q "^  done (R:0)$" "$tmp/said"'
# The kernel partition of the default chip is blank: the new image is only
# programmed, with no erase.
check "summary" 'grep -qx "changed=\"zImage,FIS Directory\"" "$tmp/out/summary" &&
    grep -qx "status=\"0\"" "$tmp/out/summary" && grep -qx "final=\"R:0\"" "$tmp/out/summary" &&
    grep -qx "erases=\"\"" "$tmp/out/summary"'
check "tool names the message key" 'grep -q "exit status 0 (upgrade_success: the update completed)" "$tmp/said"'
check "first and last records" '[ "$(head -n 1 "$tmp/out/progress.records")" = "A:0:      " ] &&
    [ "$(tail -n 1 "$tmp/out/progress.records")" = "R:0:      " ]'
check "update log" 'grep -q "Congratulation!! The update has been completed!!" "$tmp/out/qavoupdate.log"'
check "chips written out" '[ "$(stat -c %s "$tmp/out/chip.before")" = 8388608 ] &&
    [ "$(stat -c %s "$tmp/out/chip.after")" = 8388608 ]'
"$report" changed "$tmp/out/chip.before" "$tmp/out/chip.after" > "$tmp/changed"
check "only the kernel and the directory changed" '[ "$(grep -c changed "$tmp/changed")" = 2 ] &&
    grep -q "^zImage  *changed" "$tmp/changed" && grep -q "^FIS Directory  *changed" "$tmp/changed"'
check "the image holds what was written" 'cmp -s -n 300000 -i 262144:0 "$tmp/out/chip.after" "$tmp/pkg/zImage"'
"$report" dir "$tmp/out/chip.after" > "$tmp/dir"
check "new data length in the directory" 'grep -q "^zImage  *0xFF840000 0x00200000 0x000493E0" "$tmp/dir"'
check "key table" '[ "$("$report" key 24)" = "error_reboot: the system must be rebooted before the update" ] &&
    [ "$("$report" key 15)" = "error_update_unknown: the backup of the flash partitions failed" ] &&
    [ "$("$report" key 137)" = "(killed): ended by signal 9 (SIGKILL)" ] &&
    [ "$("$report" key 25)" = "(unknown): not an exit status of the updater" ] &&
    [ "$("$report" key 255)" = "(bad option): the command line was refused" ]'

# Again from the chip the first run left.
"$src/sim/qavo-rehearse" --build "$build" --package "$tmp/pkg" --installed "$tmp/installed" \
    --image "$tmp/out/chip.after" --sim "uptime 10" --out "$tmp/out2" --model qavomark_ixp420_1hd \
    > /dev/null 2>&1
check "rehearsal from an image" '[ "$(cat "$tmp/out2/status" 2>/dev/null)" = 0 ] &&
    cmp -s "$tmp/out/chip.after" "$tmp/out2/chip.before"'
# An installed build newer than the package's: refused, the chip untouched.
sed 's/500/530/' "$tmp/installed" > "$tmp/newer"
"$src/sim/qavo-rehearse" --build "$build" --package "$tmp/pkg" --installed "$tmp/newer" \
    --out "$tmp/out3" > /dev/null 2>&1
rc=$?
check "refused package" '[ $rc = 10 ] && [ "$(cat "$tmp/out3/status")" = 10 ] && cmp -s "$tmp/out3/chip.before" "$tmp/out3/chip.after" &&
    grep -q "Failed to accomplish the update! (errno = 10)" "$tmp/out3/qavoupdate.log"'
head -c 1000 /dev/zero > "$tmp/short.bin"
"$src/sim/qavo-rehearse" --build "$build" --package "$tmp/pkg" --installed "$tmp/installed" \
    --image "$tmp/short.bin" --out "$tmp/out4" > "$tmp/said4" 2>&1
check "image of neither size refused" 'grep -q "holds 1000 bytes" "$tmp/said4" && [ ! -e "$tmp/out4/status" ]'
[ $fail = 0 ] && echo "rehearsal: ok"
exit $fail
