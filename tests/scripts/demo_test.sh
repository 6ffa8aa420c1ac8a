#!/bin/bash
# The demo on a build at hand: its results stay in the folder given, the
# build's output is not shown, and the report matches the chips it kept.
set -u
src="$1"; build="$2"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; fi; }

bash "$src/scripts/demo.sh" --build "$build" --out "$tmp/demo" > "$tmp/said" 2>&1
rc=$?
check "demo runs" '[ $rc = 0 ] && grep -q "^exit status:     0 (upgrade_success: the update completed)$" "$tmp/said"'
check "results kept" '[ "$(cat "$tmp/demo/status")" = 0 ] && [ -s "$tmp/demo/chip.before" ] &&
    [ -s "$tmp/demo/chip.after" ] && grep -q "^results in $tmp/demo$" "$tmp/said"'
check "report matches the kept chips" '"$build/sim/qavo-rehearse-report" changed "$tmp/demo/chip.before" \
    "$tmp/demo/chip.after" | sed "s/^/   /" > "$tmp/changed" && grep -qFf "$tmp/changed" "$tmp/said" &&
    grep -qx "changed=\"zImage,rd.gz,FIS Directory\"" "$tmp/demo/summary"'
check "progress into a pipe: plain lines" '! grep -q $'"'"'\r'"'"' "$tmp/said" && grep -q "^  done (R:0)$" "$tmp/said"'
check "start scripts named" 'grep -q "^   stop:  S" "$tmp/said" && grep -q " S20pgsql.sh" "$tmp/said"'
[ $fail = 0 ] && echo "demo: ok"
exit $fail
