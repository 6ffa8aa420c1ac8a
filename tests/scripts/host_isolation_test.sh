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

# The clock has no namespace. Inside, CAP_SYS_TIME (and CAP_SYS_MODULE,
# CAP_SYS_BOOT) is in no capability set and the kernel refuses a clock
# setting; date -s is tried only once both are shown. With the kernel
# shim asked to, the shim answers and records the call instead.
t0=$(date +%s)
"$src/sim/appliance" --build "$build" -- /bin/bash -c '
    for key in CapEff CapPrm CapBnd; do
        set=$(awk -v k="$key:" "\$1 == k {print \$2}" /proc/self/status)
        for cap in 16 22 25; do
            (( (0x$set >> cap) & 1 )) && { echo "capability $cap in $key"; exit 3; }
        done
    done
    # settimeofday without a time or zone: refused, and a no-op where allowed
    python3 -c "
import ctypes, sys
libc = ctypes.CDLL(None, use_errno=True)
sys.exit(0 if libc.syscall(164, None, None) == -1 and ctypes.get_errno() == 1 else 4)" || exit 4
    date -s @946684800 >/dev/null 2>&1 && exit 5
    exit 0' || { echo "FAIL: the appliance root can set the clock (rc=$?)"; fail=1; }
desc="$(mktemp -d)"
echo "clock ok" > "$desc/clock.desc"
"$src/sim/appliance" --build "$build" --sim "$desc/clock.desc" --shim -- /bin/bash -c '
    date -s @946684800 >/dev/null && grep -q "^clock_settime 0 946684800.000000000 -> 0$" /sim/kernel.log' ||
    { echo "FAIL: the kernel shim did not answer date -s"; fail=1; }
rm -rf "$desc"
t1=$(date +%s)
if [ "$t1" -lt "$t0" ] || [ $((t1 - t0)) -gt 120 ]; then echo "FAIL: host clock moved"; fail=1; fi

# The launcher names the build tree it looked in when it holds no sim programs.
out="$("$src/sim/appliance" --build /nonexistent-build -- true 2>&1)"; rc=$?
if [ $rc -ne 2 ] || [[ "$out" != *"/nonexistent-build"* ]] || [[ "$out" != *"--build"* ]]; then
    echo "FAIL: launcher without sim programs: rc=$rc: $out"; fail=1
fi

# The launcher takes the command as typed in the caller's folder, outside the
# source and build trees too: a relative program path is the caller's, the
# program's folder and the working folder are there read-only, the command
# starts in the working folder, and nothing else of the host shows.
host="$(mktemp -d)"
mkdir -p "$host/proj/bin" "$host/proj/sub" "$host/other" "$host/tools"
printf '#!/bin/sh\necho "$0|$(pwd)|$*"\n' > "$host/proj/bin/show"
cp "$host/proj/bin/show" "$host/tools/show"
printf '#!/bin/sh\ntouch "${0%%/*}/new" 2>/dev/null && echo written || echo read-only\n' \
    > "$host/tools/write"
chmod +x "$host/proj/bin/show" "$host/tools/show" "$host/tools/write"
echo data > "$host/proj/sub/file"
echo secret > "$host/other/secret"
# caller's folder @ command @ what it prints (a program prints $0|pwd|args)
cases=(
    "proj@bin/show a@$host/proj/bin/show|$host/proj|a"
    "proj@./bin/show@$host/proj/bin/show|$host/proj|"
    "proj/sub@../bin/show@$host/proj/bin/show|$host/proj/sub|"
    "proj@$host/tools/show@$host/tools/show|$host/proj|"
    "/@$host/tools/show@$host/tools/show|/|"
    "proj@sh -c cat sub/file@data"
    "proj/sub@sh -c cat $host/proj/bin/show 2>/dev/null || echo hidden@hidden"
    "proj@sh -c cat $host/other/secret 2>/dev/null || echo hidden@hidden"
    "proj@sh -c touch new 2>/dev/null && echo written || echo read-only@read-only"
    "proj@$host/tools/write@read-only"
)
for c in "${cases[@]}"; do
    IFS='@' read -r dir cmd want <<< "$c"
    [ "$dir" = / ] || dir="$host/$dir"
    if [[ "$cmd" == "sh -c "* ]]; then
        out="$(cd "$dir" && "$src/sim/appliance" --build "$build" -- sh -c "${cmd#sh -c }" 2>&1)"
    else
        # shellcheck disable=SC2086
        out="$(cd "$dir" && "$src/sim/appliance" --build "$build" -- $cmd 2>&1)"
    fi
    [ "$out" = "$want" ] || { echo "FAIL: in $dir, $cmd printed: $out (want $want)"; fail=1; }
done
[ ! -e "$host/proj/new" ] && [ ! -e "$host/tools/new" ] || { echo "FAIL: the host folder was written"; fail=1; }
rm -rf "$host"
# Usage: --help prints it on standard output with status 0; no command
# prints a short one on standard error with status 2.
out="$("$src/sim/appliance" --help 2>/dev/null)"; rc=$?
if [ $rc -ne 0 ] || [[ "$out" != *"sim/appliance [options] [--] command"* ]] ||
   [[ "$out" != *"--build DIR"* ]]; then
    echo "FAIL: --help: rc=$rc: $out"; fail=1
fi
out="$("$src/sim/appliance" --build "$build" 2>&1 >/dev/null)"; rc=$?
[ $rc -eq 2 ] && [[ "$out" == *"usage:"* ]] || { echo "FAIL: no command: rc=$rc: $out"; fail=1; }

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
