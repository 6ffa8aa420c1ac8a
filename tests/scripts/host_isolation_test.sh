#!/bin/bash
# The appliance root never touches the host: files written inside leave the
# host's byte-identical, and a test binary started on the host refuses to run.
set -u
src="$1"; build="$2"
fail=0
paths=(/etc/passwd /etc/group /etc/shadow /etc/hostname)
sum() { for p in "${paths[@]}"; do [ -e "$p" ] && sha256sum "$p"; done; ls -la /usr 2>/dev/null | sha256sum; }
before="$(sum)"
had_lock=0; [ -e /tmp/lock ] && had_lock=1
"$src/sim/appliance" --build "$build" -- /bin/sh -c '
    set -e
    echo "evil:x:0:0::/:/bin/sh" > /etc/passwd
    echo "evil::0:0:99999:7:::" > /etc/shadow
    : > /etc/group
    touch /tmp/lock/lock_pw /usr/qavo/marker
    echo x > /etc/hostname
    [ -f /usr/qavo/marker ]' || { echo "FAIL: writes inside the appliance root failed"; fail=1; }
after="$(sum)"
if [ "$before" != "$after" ]; then echo "FAIL: host files changed"; fail=1; fi
if [ $had_lock = 0 ] && [ -e /tmp/lock/lock_pw ]; then echo "FAIL: host /tmp/lock written"; fail=1; fi
[ -e /usr/qavo/marker ] && { echo "FAIL: host /usr/qavo written"; fail=1; }

# A test binary outside the appliance root refuses to run.
for bin in "$build"/tests/lib_tests "$build"/tests/sim_tests; do
    [ -x "$bin" ] || continue
    out="$("$bin" 2>&1)"; rc=$?
    if [ $rc -ne 77 ] || [[ "$out" != *"refuses to run outside the appliance root"* ]]; then
        echo "FAIL: $bin ran on the host (rc=$rc)"; fail=1
    fi
done
[ $fail = 0 ] && echo "host isolation: ok"
exit $fail
