#!/bin/bash
# The library's ABI is what its public headers declare: every symbol the
# shared library exports is a function or variable of a public header, no
# C++ symbol leaves it, and every operation a header declares is there.
set -u
src="$1"; build="$2"
lib="$build/libqavosdk.so"
[ -e "$lib" ] || { echo "FAIL: no $lib"; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mapfile -t headers < <(find "$src/lib" "$src/sdk" -name '*.h' -not -path '*/internal/*' | sort)
for h in "${headers[@]}"; do echo "#include \"$h\""; done > "$work/all.c"
incs=()
for h in "${headers[@]}"; do incs+=(-I "$(dirname "$h")"); done
# Functions: the compiler's own list of the prototypes it saw in our headers.
# (A compiler cache would answer without writing the list.)
(cd "$work" && CCACHE_DISABLE=1 gcc -std=c11 -fsyntax-only -aux-info aux.txt "${incs[@]}" all.c) || exit 1
[ -s "$work/aux.txt" ] || { echo "FAIL: the compiler wrote no prototype list"; exit 1; }
for h in "${headers[@]}"; do basename "$h"; done > "$work/names"
awk 'NR == FNR { ours[$1] = 1; next }
     { f = $2; sub(/:.*/, "", f); n = split(f, p, "/"); if (p[n] in ours) print }' \
    "$work/names" "$work/aux.txt" |
    sed -E 's/^.*[ *]([A-Za-z_][A-Za-z0-9_]*) \(.*$/\1/' | sort -u > "$work/functions"
# Variables: the extern declarations of the headers.
cat "${headers[@]}" | sed -nE 's/^extern [^(]*[ *]([A-Za-z_][A-Za-z0-9_]*)(\[[^]]*\])*;.*$/\1/p' |
    sort -u > "$work/variables"
# A declaration may name its symbol: fgetln is exported as SLIBfgetln.
cat "${headers[@]}" | sed -nE 's/^.*__asm__\("([A-Za-z_][A-Za-z0-9_]*)"\).*$/\1/p' > "$work/renamed"
sort -u "$work/functions" "$work/variables" "$work/renamed" > "$work/declared"
# (AddressSanitizer adds an __odr_asan marker per exported variable.)
nm -D --defined-only "$lib" | awk '{print $3}' | grep -v '^__odr_asan\.' | sort -u > "$work/exported"
fail=0
if grep -q '^_Z' "$work/exported"; then
    echo "FAIL: C++ symbols exported:"; grep '^_Z' "$work/exported" | head -20; fail=1
fi
extra="$(comm -23 "$work/exported" "$work/declared" | grep -v '^_Z')"
if [ -n "$extra" ]; then
    echo "FAIL: exported but declared in no public header:"; echo "$extra"; fail=1
fi
cat "${headers[@]}" | sed -nE 's/^.*[ *]([A-Za-z_][A-Za-z0-9_]*)\(.*__asm__\(.*$/\1/p' > "$work/asnamed"
missing="$(comm -13 "$work/exported" "$work/declared" | grep -vxF -f "$work/asnamed")"
if [ -n "$missing" ]; then
    echo "FAIL: declared in a public header but not exported:"; echo "$missing"; fail=1
fi
[ $fail = 0 ] && echo "library symbols: ok ($(wc -l < "$work/exported") exported, all declared)"
exit $fail
