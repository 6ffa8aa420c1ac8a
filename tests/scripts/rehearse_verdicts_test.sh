#!/bin/bash
# What the rehearsal tells an operator must hold for the run it rehearsed: a
# roll-back that failed, a module with a table of its own, a run that updated
# nothing, a damaged system archive, an image too large for the flash, every
# progress record, and the tool's own messages, each one line.
set -u
src="$1"; build="$2"
. "$src/tests/scripts/lib/rehearse_setup.sh"
value() { sed -n "s/^$1=\"\(.*\)\"$/\1/p" "$2"; }

# The second directory entry cannot be written, nor the first put back: the
# roll-back fails, the backup is kept, and nothing the operator reads says
# the flash was rolled back.
cp -r "$tmp/pkg" "$tmp/pkg2"
head -c 300000 /dev/urandom > "$tmp/pkg2/rd.bin"
"$src/sim/qavo-rehearse" --build "$build" --package "$tmp/pkg2" --installed "$tmp/installed" \
    --sim "fault setfisentry mtd7 2 always" --out "$tmp/rb" --watch > "$tmp/rb.said" 2>&1
rc=$?
check "failed roll-back: status and backup" '[ $rc = 20 ] && grep -qx "backup_kept=\"yes\"" "$tmp/rb/summary" &&
    grep -q "The backup of the old flash is kept in" "$tmp/rb/qavoupdate.log"'
check "failed roll-back: summary, watch line and last line say so" '
    value meaning "$tmp/rb/summary" | grep -q "so did the roll-back.*b@ckup.*do not reboot" &&
    grep -q "^  failed (P:-20): error_update_unknown: the update failed and so did the roll-back" "$tmp/rb.said" &&
    grep -q "^exit status 20 (error_update_unknown: the update failed and so did the roll-back" "$tmp/rb.said" &&
    ! grep -q "the flash was rolled back[,)]" "$tmp/rb.said"'
check "key 20 alone names the kept backup" '"$report" key 20 | grep -q "unless the update log says the backup is kept"'
# A roll-back that succeeds keeps the plain meaning.
"$src/sim/qavo-rehearse" --build "$build" --package "$tmp/pkg2" --installed "$tmp/installed" \
    --sim "fault write mtd2 1 once" --sim "fault write mtd2 2 once" --sim "fault write mtd2 3 once" \
    --out "$tmp/rb2" > /dev/null 2>&1
rc=$?
check "good roll-back keeps the plain meaning" '[ $rc = 20 ] && grep -qx "backup_kept=\"no\"" "$tmp/rb2/summary" &&
    value meaning "$tmp/rb2/summary" | grep -q "^writing the images failed and the flash was rolled back"'

# A module with a table of its own, a RAM disk reaching past where the
# power-up table puts the library archive: judged by the unit's table, the
# archive is untouched.
cp -r "$tmp/pkg" "$tmp/pkg5"
head -c 3000000 /dev/urandom > "$tmp/pkg5/rd.bin"
"$src/sim/qavo-rehearse" --build "$build" --package "$tmp/pkg5" --installed "$tmp/installed" \
    --sim "msys on" --sim "msys-parts 16 160 224 512 8 16 4 4" --out "$tmp/ms" > /dev/null 2>&1
rc=$?
check "module with its own table" '[ $rc = 0 ] && grep -qx "changed=\"zImage,rd.gz\"" "$tmp/ms/summary" &&
    value unchanged "$tmp/ms/summary" | grep -q "^RedBoot,AllLib.tgz,"'

# -h updates nothing and says so.
rehearse --installed "$tmp/installed" --out "$tmp/h" --watch -- -h > "$tmp/h.said" 2>&1
rc=$?
check "-h: nothing updated" '[ $rc = 0 ] && grep -qx "key=\"(no update)\"" "$tmp/h/summary" &&
    grep -qx "final=\"A:0\"" "$tmp/h/summary" && grep -q "^  ended (A:0): " "$tmp/h.said" &&
    ! grep -q "upgrade_success\|update completed" "$tmp/h.said"'

# A system archive cut short: the update completes, the summary says the
# archive does not read whole.
cp -r "$tmp/pkg" "$tmp/pkg3"
mkdir -p "$tmp/arch/etc" && head -c 200000 /dev/urandom > "$tmp/arch/etc/data"
tar -czf "$tmp/whole.tgz" -C "$tmp/arch" etc
head -c 100 "$tmp/whole.tgz" > "$tmp/pkg3/hda1.tgz"
rehearse --installed "$tmp/installed" --package "$tmp/pkg3" --out "$tmp/ar" > "$tmp/ar.said" 2>&1
rc=$?
check "cut archive named" '[ $rc = 0 ] && value archive "$tmp/ar/summary" | grep -q "^damaged: " &&
    grep -q "^warning: the system archive hda1.tgz does not read whole" "$tmp/ar.said"'
cp "$tmp/whole.tgz" "$tmp/pkg3/hda1.tgz"
rehearse --installed "$tmp/installed" --package "$tmp/pkg3" --out "$tmp/ar2" > "$tmp/ar2.said" 2>&1
check "whole archive" 'grep -qx "archive=\"whole\"" "$tmp/ar2/summary" && ! grep -q warning "$tmp/ar2.said"'

# A kernel larger than the whole flash: 19, with the image and its excess
# named in the system log and the summary. The full chip's directory gives
# the flash 0x800000 bytes; every row but the kernel keeps its blocks.
cp -r "$tmp/pkg" "$tmp/pkg4"
head -c 8388608 /dev/zero > "$tmp/pkg4/zImage"
rehearse --installed "$tmp/installed" --package "$tmp/pkg4" --out "$tmp/big" > /dev/null 2>&1
rc=$?
check "too large: 19 and the image named" '[ $rc = 19 ] &&
    grep -q "image \[zImage\] of partition \[zImage\] is [0-9]* bytes too large" "$tmp/big/syslog" &&
    value too_large "$tmp/big/summary" | grep -qx "zImage by [0-9]* bytes"'

# Every record written, into a file: one line per change of record.
rehearse --installed "$tmp/installed" --out "$tmp/w" --watch > "$tmp/w.said" 2>&1
want="$(cut -d: -f1,2 "$tmp/w/progress.records" | uniq | wc -l)"
got="$(grep -cE "^  [APCR]:-?[0-9]+ " "$tmp/w.said")"
check "every record shown" '[ "$want" -gt 20 ] && [ "$got" = "$want" ] && grep -q "^  P:100 flash$" "$tmp/w.said"'
# On a terminal the bars end where the run ended: flash at 100, ready full.
script -qec "$(printf '%q ' "$src/sim/qavo-rehearse" --build "$build" --package "$tmp/pkg" \
    --installed "$tmp/installed" --out "$tmp/t" --watch)" /dev/null > "$tmp/tty" 2>&1
check "bars end at their final state" 'tr "\r" "\n" < "$tmp/tty" | grep -q " 100  P flash" &&
    tr "\r" "\n" < "$tmp/tty" | grep -q "\[#\{50\}\]    0  R ready"'
check "no refused driver buffer on a unit's kernel" '! grep -q "fail to malloc mtd driver buffer" "$tmp/w/syslog"'

# The tool's own messages: one line each, saying what is wrong.
said() { rehearse "$@" > "$tmp/out.said" 2>&1; echo "$? $(wc -l < "$tmp/out.said")"; }
check "a missing value named" '[ "$(said --installed --image "$tmp/x.bin")" = "125 1" ] &&
    grep -q "^qavo-rehearse: --installed needs a value, but --image follows it" "$tmp/out.said"'
check "unknown --sim keyword" '[ "$(said --installed "$tmp/installed" --out "$tmp/s1" --sim "bogus line")" = "125 1" ] &&
    grep -q "^qavo-rehearse: --sim \"bogus line\": .*unknown keyword \"bogus\"" "$tmp/out.said"'
check "bad --sim line of a known keyword" '[ "$(said --installed "$tmp/installed" --out "$tmp/s2" --sim "uptime soon")" = "125 1" ]'
check "module image with --edition pomlet" '[ "$(said --installed "$tmp/installed" --image "$tmp/ms/chip.after" --edition pomlet)" = "125 1" ] &&
    grep -q "is an M-Systems module (full edition), not pomlet" "$tmp/out.said"'
rehearse --installed "$tmp/installed" --out "$tmp/k" --sim "kill 2 updater" > "$tmp/k.said" 2>&1
rc=$?
check "a killed run: the status, no shell notice" '[ $rc = 137 ] && ! grep -qi "killed.*updater\|^.*: line [0-9]*:" "$tmp/k.said" &&
    grep -q "^exit status 137 ((killed): ended by signal 9" "$tmp/k.said"'
check "key 125 is the tool's own" '"$report" key 125 | grep -q "^(rehearsal): .*qavo-rehearse"'
check "report --help on stdout" '"$report" --help > "$tmp/help" 2> "$tmp/help.err" && grep -q "^usage: " "$tmp/help" && [ ! -s "$tmp/help.err" ]'

[ $fail = 0 ] && echo "rehearsal verdicts: ok"
exit $fail
