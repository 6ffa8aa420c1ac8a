#!/bin/bash
# The demo: a simulated appliance with an installed system of build 2.0.3.500
# on its flash, an update package of build 2.0.3.520, the updater run on it
# with its progress shown live (read from /tmp/update.progress as the web
# interface reads it), and a short report.
#
#   scripts/demo.sh            a complete update
#   scripts/demo.sh --fault    every write of the RAM disk fails: the updater
#                              rolls the flash back to what it was
#   --out DIR                  where the results stay (default: demo-results
#                              in the source tree, which git ignores)
#   --build DIR                an existing release build: no set-up, no build
#
# Everything happens inside a throw-away appliance root (sim/appliance); the
# rehearsal tool it uses is sim/qavo-rehearse (see sim/README.md).
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
fault=0 out="$src/demo-results" build=""
usage() { echo "usage: scripts/demo.sh [--fault] [--out DIR] [--build DIR]" >&2; exit 2; }
while [ $# -gt 0 ]; do
    case "$1" in
        --fault) fault=1; shift ;;
        --out|--build) [ $# -ge 2 ] || usage; [ "$1" = --out ] && out="$2" || build="$2"; shift 2 ;;
        *) usage ;;
    esac
done
mkdir -p "$out"
out="$(cd "$out" && pwd)"

if [ -z "$build" ]; then
    "$src/scripts/setup.sh"
    build="$src/build/release"
    # The build's own output goes to a file; one line here.
    printf '== building (scripts/build.sh %s, output in %s/build.log) ... ' "$build" "$out"
    if ! "$src/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQAVO_TESTS=OFF \
        -DQAVO_BENCH=OFF > "$out/build.log" 2>&1; then
        echo "failed"
        tail -n 30 "$out/build.log" >&2
        exit 1
    fi
    echo "done"
fi
report="$build/sim/qavo-rehearse-report"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

# The installed system: the full edition's chip, its kernel, RAM disk and
# library partitions holding the data their directory entries describe,
# laid as a programmer lays it (unlocked); the update itself runs on the
# chip as a unit powers it up, every block locked.
echo "== the installed system (2.0.3.500) on the simulated flash"
printf 'edition full\nlock none\n' > "$work/installed.desc"
"$src/sim/appliance" --build "$build" --sim "$work/installed.desc" --bind "$work" /demo -- bash -c '
    set -e
    for p in "1 1835008" "2 2883584" "3 1703936"; do
        set -- $p
        head -c "$2" /dev/urandom | dd of=/dev/mtd$1 bs=65536 iflag=fullblock status=none
    done
    "$QAVO_BUILD/sim/qavo-sim" dump /demo/installed.bin'
cat > "$work/VERSION.installed" <<'EOF'
unique="qavomark_ixp420_1hd"
majorversion="2"
minorversion="0"
buildphase="3"
buildnumber="500"
EOF

# The package: a newer kernel and RAM disk, and the system archive.
echo "== the update package (2.0.3.520)"
pkg="$work/package"
mkdir -p "$pkg" "$work/archive/etc"
sed 's/buildnumber="500"/buildnumber="520"/' "$work/VERSION.installed" > "$pkg/VERSION"
head -c 1600000 /dev/urandom > "$pkg/zImage"
head -c 2600000 /dev/urandom > "$pkg/rd.bin"
echo "2.0.3.520" > "$work/archive/etc/release"
tar -czf "$pkg/hda1.tgz" -C "$work/archive" .
ls -l "$pkg" | sed 1d | awk '{printf "   %-10s %9d bytes\n", $9, $5}'

sim=()
if [ "$fault" = 1 ]; then
    echo "== fault: the three attempts to write the RAM disk (/dev/mtd2) fail"
    sim=(--sim "fault write mtd2 1 once" --sim "fault write mtd2 2 once" --sim "fault write mtd2 3 once")
fi

echo "== running the updater (progress as the web interface sees it)"
rc=0
"$src/sim/qavo-rehearse" --build "$build" --package "$pkg" --installed "$work/VERSION.installed" \
    --image "$work/installed.bin" --out "$out" --watch "${sim[@]+"${sim[@]}"}" || rc=$?
[ "$rc" != 125 ] || exit 1

echo
echo "== report"
code="$(cat "$out/status")"
[ "$code" = 255 ] && code=-1
echo "exit status:     $code ($("$report" key "$code"))"
echo "final record:    $(cut -d: -f1,2 "$out/update.progress")"
echo "records written: $(wc -l < "$out/progress.records") ($(head -n 1 "$out/progress.records" | cut -d: -f1,2) ... $(tail -n 1 "$out/progress.records" | cut -d: -f1,2))"
echo "update log (/var/log/qavoupdate.log):"
sed 's/^/   /' "$out/qavoupdate.log"
echo "flash directory before:"
"$report" dir "$out/chip.before" | sed 's/^/   /'
echo "flash directory after:"
"$report" dir "$out/chip.after" | sed 's/^/   /'
echo "partitions:"
"$report" changed "$out/chip.before" "$out/chip.after" | sed 's/^/   /'
scripts() { # action: the start scripts called with it, by name
    awk -F'\t' -v a="$1" '$2 == a { sub(".*/", "", $1); print $1 }' "$out/calls.log" | paste -sd' ' -
}
echo "services:        $(grep -c $'\tstop$' "$out/calls.log") start scripts called with stop, $(grep -c $'\tstart$' "$out/calls.log") with start"
[ -z "$(scripts stop)" ] || echo "   stop:  $(scripts stop)" | fold -s -w 78 | sed '2,$s/^/          /'
[ -z "$(scripts start)" ] || echo "   start: $(scripts start)" | fold -s -w 78 | sed '2,$s/^/          /'
if [ "$code" != 0 ]; then
    echo "the updater's system log on the failure:"
    grep -E 'counts failed|fail to patch|UPDTRollBack|reinstall library|backup is kept' "$out/syslog" |
        grep -v -e 'skip recoverying' -e 'command=' |
        sed 's/^<[0-9]*>[A-Z][a-z]* [ 0-9]* [0-9:]* /   /'
fi
if cmp -s "$out/chip.before" "$out/chip.after"; then
    echo "the chip is byte for byte what it was before the update"
fi
