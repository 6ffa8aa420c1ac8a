#!/bin/bash
# Deleting one user of 10,000 against the shadow suite's userdel --prefix on
# the same files, and listing 10,000 users against getent passwd, as ratios
# in one run.
#   userdel_vs_shadow.sh SRC BUILD
set -eu
src="$1"; build="$2"
"$src/sim/appliance" --build "$build" -- bash -s "$build/bench/qavo_bench" <<'INNER'
set -eu
bench="$1"
json=$("$bench" --benchmark_filter='^BM_User(Delete|Enum)' --benchmark_format=json 2>/dev/null)
pfx=/tmp/shadow-bench
# The benchmark's files: under $pfx for userdel, and as /etc/passwd for getent.
fixture() {
    rm -rf "$pfx"; mkdir -p "$pfx/etc"
    awk -v n="$1" -v dir="$pfx/etc" 'BEGIN {
        h = "$1$Ab$Y4VrSqX5m3ZmA1kpLk6b60"
        print "root:x:0:0:root:/root:/bin/sh" > (dir "/passwd")
        print "root:" h ":14000:0:99999:7:::" > (dir "/shadow")
        m = ""
        for (i = 0; i < n; i++) {
            u = "u" (3000 + i)
            print u ":x:" (3000 + i) ":100::/:/bin/csh" > (dir "/passwd")
            print u ":" h ":14000:0:99999:7:::" > (dir "/shadow")
            m = m u ","
        }
        print "root:x:0:" > (dir "/group")
        print "users:x:100:nobody,nobody" > (dir "/group")
        print "staff:x:65536:nobody," m "nobody" > (dir "/group")
    }'
    : > "$pfx/etc/gshadow"
    chmod 600 "$pfx/etc/shadow"
}
# Mean microseconds of runs of a command (fresh files before each when asked).
timed() {
    local runs="$1" fresh="$2"; shift 2
    local total=0
    for i in $(seq "$runs"); do
        [ "$fresh" = yes ] && fixture 10000
        local t0 t1
        t0=$(date +%s%N)
        "$@" >/dev/null 2>&1
        t1=$(date +%s%N)
        total=$((total + (t1 - t0) / 1000))
    done
    echo $((total / runs))
}
del=$(timed 5 yes userdel --prefix "$pfx" u3500)
fixture 10000
cp "$pfx/etc/passwd" /etc/passwd
echo "passwd: files" > /etc/nsswitch.conf
list=$(timed 20 no getent passwd)
python3 - "$json" "$del" "$list" <<'PY'
import json, sys
b = {x["name"]: x["real_time"] * {"ms": 1000, "us": 1, "ns": 0.001}[x["time_unit"]]
     for x in json.loads(sys.argv[1])["benchmarks"]}
ours_del = b["BM_UserDelete/10000/iterations:5"]
ours_enum = b["BM_UserEnum/10000/iterations:20"]
ref_del, ref_enum = float(sys.argv[2]), float(sys.argv[3])
print(f"delete one user of 10,000: {ours_del / 1000:.2f} ms, userdel --prefix {ref_del / 1000:.2f} ms, "
      f"ratio {ours_del / ref_del:.2f}")
print(f"list 10,000 users: {ours_enum / 1000:.2f} ms, getent passwd {ref_enum / 1000:.2f} ms, "
      f"ratio {ours_enum / ref_enum:.2f}")
PY
INNER
