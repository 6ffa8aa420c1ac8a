#!/bin/bash
# Every benchmark script run without the source and build trees prints its
# usage, as its header gives it, to standard error and exits with 2, before
# it starts anything.
set -u
src="$1"
fail=0
errfile="$(mktemp)"
trap 'rm -f "$errfile"' EXIT
for s in "$src"/bench/scripts/*.sh; do
    name="${s##*/}"
    header="$(sed -n "s/^#   $name \(SRC BUILD.*\)/\1/p" "$s")"
    [ -n "$header" ] || { echo "FAIL: $name names no usage line in its header"; fail=1; }
    for args in "" "$src"; do
        # shellcheck disable=SC2086
        out="$(bash "$s" $args 2>"$errfile")"; rc=$?
        err="$(cat "$errfile")"
        if [ $rc -ne 2 ] || [ -n "$out" ] || [[ "$err" != "usage: bash $s $header"* ]]; then
            echo "FAIL: $name ${args:+SRC }alone: rc=$rc stdout=$out stderr=$err"; fail=1
        fi
    done
done
[ $fail = 0 ] && echo "bench scripts: usage ok"
exit $fail
