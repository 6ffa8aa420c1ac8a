#!/bin/bash
# The rehearsal tool on an M-Systems module: the module the emulator writes,
# rehearsed again from its dump, with the progress on a terminal.
set -u
src="$1"; build="$2"
. "$src/tests/scripts/lib/rehearse_setup.sh"

# An M-Systems module, the progress on a terminal, and its dump rehearsed again.
script -qec "$(printf '%q ' "$src/sim/qavo-rehearse" --build "$build" --package "$tmp/pkg" \
    --installed "$tmp/installed" --sim "msys on" --out "$tmp/msys" --watch)" /dev/null > "$tmp/tty" 2>&1
check "module rehearsed" '[ "$(cat "$tmp/msys/status")" = 0 ] && [ "$(stat -c %s "$tmp/msys/chip.after")" = 15843328 ]'
check "progress redrawn in place on a terminal" 'grep -q $'"'"'\r  \['"'"' "$tmp/tty" && grep -q "done (R:0)" "$tmp/tty"'
rehearse --installed "$tmp/installed" --image "$tmp/msys/chip.after" --out "$tmp/msys2" > /dev/null 2>&1
rc=$?
check "module image accepted" '[ $rc = 0 ] && cmp -s "$tmp/msys/chip.after" "$tmp/msys2/chip.before"'
check "module report" '"$report" dir "$tmp/msys/chip.after" | grep -q "^zImage  *0x00040000 0x00200000"'

[ $fail = 0 ] && echo "rehearsal of a module: ok"
exit $fail
