#!/bin/bash
# The simulated disks are loop devices of the host's kernel: they are
# released when the appliance root ends, also when it is killed while a
# partition is mounted.
set -u
src="$1"; build="$2"
fail=0
name="r$$disk"

# Loop devices whose backing file is this test's image.
ours() {
    local n=0 f
    for f in /sys/block/loop*/loop/backing_file; do
        [ -r "$f" ] || continue
        case "$(cat "$f" 2>/dev/null)" in "/sim/disks/$name.img"*) n=$((n + 1)) ;; esac
    done
    echo "$n"
}
# Waits up to 10 seconds for the devices to go.
released() {
    local i
    for i in $(seq 1 50); do
        [ "$(ours)" = 0 ] && return 0
        sleep 0.2
    done
    return 1
}

# A clean end.
"$src/sim/appliance" --build "$build" -- /bin/sh -c "
    /sim/bin/qavo-disk add $name 4194304 &&
    sfdisk -N1 -uS -q -f -j63 -z1574307 -tfd -F /dev/$name" >/dev/null ||
    { echo "FAIL: disk not made"; fail=1; }
released || { echo "FAIL: $(ours) devices left after a clean end"; fail=1; }

# Killed with a mounted partition.
ready="$(mktemp)"
"$src/sim/appliance" --build "$build" -- /bin/sh -c "
    /sim/bin/qavo-disk add $name 4194304 &&
    sfdisk -N1 -uS -q -f -j63 -z1574307 -t83 -F /dev/$name &&
    mkfs.ext3 -q /dev/${name}1 && mount /dev/${name}1 /volume1 && echo up && sleep 60" >"$ready" 2>&1 &
pid=$!
for i in $(seq 1 100); do
    grep -q up "$ready" && break
    sleep 0.1
done
if ! grep -q up "$ready"; then
    echo "FAIL: sandbox not up: $(cat "$ready")"
    fail=1
fi
[ "$(ours)" -ge 2 ] || { echo "FAIL: devices not seen from the host"; fail=1; }
kill -KILL "$pid"
wait "$pid" 2>/dev/null
rm -f "$ready"
released || { echo "FAIL: $(ours) devices left after a kill"; fail=1; }
exit $fail
