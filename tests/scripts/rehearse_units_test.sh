#!/bin/bash
# The rehearsal tool on dumps of real units and as a person uses it: a dump
# whose partitions were resized, a directory that cannot describe its chip,
# the tool's messages and exit status, and the report of a partition that
# moved.
set -u
src="$1"; build="$2"
. "$src/tests/scripts/lib/rehearse_setup.sh"

# The tool's own messages: one line each, exit status 125.
said() { "$src/sim/qavo-rehearse" --build "$build" "$@" 2>&1; echo "rc=$?"; }
check "--help" 'said --help | grep -q "^  sim/qavo-rehearse --package DIR --installed FILE"'
check "missing value" '[ "$(said --package "$tmp/pkg" --installed)" = "qavo-rehearse: --installed needs a value (see --help)
rc=125" ]'
check "folder for a file" '[ "$(said --package "$tmp/pkg" --installed "$tmp")" = "qavo-rehearse: --installed $tmp: is a directory, not a file
rc=125" ]'
grep -v unique "$tmp/installed" > "$tmp/nomodel"
check "unknown installed model" 'said --package "$tmp/pkg" --installed "$tmp/nomodel" |
    grep -q "the installed model is not known: .* give --model"'
check "bad --sim line named as given" 'said --package "$tmp/pkg" --installed "$tmp/installed" \
    --out "$tmp/bad" --sim "uptime soon" | grep -qx "qavo-rehearse: --sim \"uptime soon\": bad uptime"'

# A dump whose kernel partition was shrunk and its RAM disk grown (as a
# resizing update leaves them): laid out from its own directory.
"$src/sim/qavo-rehearse" --build "$build" --package "$tmp/pkg" --installed "$tmp/installed" \
    --out "$tmp/first" > /dev/null 2>&1
python3 - "$tmp/first/chip.after" "$tmp/resized.bin" "$tmp/bad.bin" <<'EOF'
import struct, sys
b = bytearray(open(sys.argv[1], 'rb').read())
d = len(b) - 0x20000
def entry(i, base, size):
    struct.pack_into('<III', b, d + 256 * i + 16, base, base, size)
# zImage 0x1C0000 at 0xFF840000, rd.gz 0x340000 from 0xFFA00000
entry(1, 0xFF840000, 0x1C0000)
entry(2, 0xFFA00000, 0x340000)
open(sys.argv[2], 'wb').write(b)
# an entry that overlaps its neighbour
entry(2, 0xFF9E0000, 0x360000)
open(sys.argv[3], 'wb').write(b)
EOF
rehearse --installed "$tmp/installed" --image "$tmp/resized.bin" --out "$tmp/resized" > /dev/null 2>&1
rc=$?
check "resized dump rehearsed" '[ $rc = 0 ] && grep -qx "changed=\"\"" "$tmp/resized/summary" &&
    cmp -s "$tmp/resized.bin" "$tmp/resized/chip.after"'
check "directory that cannot describe the chip" 'said --package "$tmp/pkg" --installed "$tmp/installed" \
    --image "$tmp/bad.bin" | grep -q "entry 2 \[rd.gz\]: overlaps entry 1 \[zImage\]"'

# The report: a partition whose data moved intact is "moved".
python3 - "$tmp/first/chip.after" "$tmp/m.before" "$tmp/m.after" <<'EOF'
import struct, sys
b = bytearray(open(sys.argv[1], 'rb').read())
d = len(b) - 0x20000
open(sys.argv[2], 'wb').write(b)
# rd.gz (0x300000 at 0xFFA40000, data 0x2C0000) to 0xFFA00000 with its data
old, new = 0xFFA40000 - 0xFF800000, 0xFFA00000 - 0xFF800000
data = bytes(b[old:old + 0x2C0000])
b[old:old + 0x300000] = b'\xff' * 0x300000
b[new:new + 0x2C0000] = data
struct.pack_into('<II', b, d + 2 * 256 + 16, 0xFFA00000, 0xFFA00000)
struct.pack_into('<I', b, d + 1 * 256 + 24, 0x1C0000)
open(sys.argv[3], 'wb').write(b)
EOF
"$report" changed "$tmp/m.before" "$tmp/m.after" > "$tmp/moved"
check "moved partition" 'grep -q "^rd.gz  *moved$" "$tmp/moved" && grep -q "^zImage  *moved$" "$tmp/moved" &&
    grep -q "^FIS Directory  *changed$" "$tmp/moved" &&
    grep -q "^AllLib.tgz  *same$" "$tmp/moved"'
check "missing file" '"$report" dir "$tmp/none" 2>&1 | grep -qx "qavo-rehearse-report: $tmp/none: no such file"'

[ $fail = 0 ] && echo "rehearsal of units: ok"
exit $fail
