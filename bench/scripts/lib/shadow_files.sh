# Sourced inside the appliance by the account scripts: the benchmark's account
# files (bench/account_files.h) under $pfx for the shadow tools, and a timer.
pfx=/tmp/shadow-bench

# fixture N: N users u3000 ... in passwd, shadow and group staff.
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

# timed RUNS USERS COMMAND...: mean microseconds of RUNS runs of a command,
# each on fresh files of USERS users (0: on the files as they are).
timed() {
    local runs="$1" users="$2"; shift 2
    local total=0
    for i in $(seq "$runs"); do
        [ "$users" != 0 ] && fixture "$users"
        local t0 t1
        t0=$(date +%s%N)
        "$@" >/dev/null 2>&1
        t1=$(date +%s%N)
        total=$((total + (t1 - t0) / 1000))
    done
    echo $((total / runs))
}
