#!/bin/bash
# The library as others build on it: `cmake --install` into a temporary
# prefix, then a small C program (C11, pedantic) built against the installed
# tree through pkg-config and through find_package, and run inside the
# appliance root. Nothing of the source tree is on the program's include
# path; the installed set holds no internal header.
set -u
src="$1"; build="$2"
work="$(mktemp -d -p "$build" install-test.XXXXXX)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
fail=0
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; exit 1; }
libdir="$(find "$prefix" -name 'qavosdk.pc' -printf '%h\n' | head -1)"
libdir="${libdir%/pkgconfig}"
[ -n "$libdir" ] || { echo "FAIL: no qavosdk.pc installed"; exit 1; }

# The installed set: the versioned library, the updater, the public headers
# and nothing internal.
soname="$(readelf -d "$libdir/libqavosdk.so" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
case "$soname" in
    libqavosdk.so.[0-9]*) [ -e "$libdir/$soname" ] || { echo "FAIL: $soname not installed"; fail=1; } ;;
    *) echo "FAIL: SONAME '$soname' has no version"; fail=1 ;;
esac
[ -x "$prefix/sbin/updater" ] || { echo "FAIL: no updater in $prefix/sbin"; fail=1; }
inc="$prefix/include/qavo"
[ -e "$inc/slib_keyvalue.h" ] || { echo "FAIL: no public headers in $inc"; fail=1; }
for h in $(find "$src" -path "$build" -prune -o -path '*/internal/*.h' -print); do
    if [ -e "$inc/$(basename "$h")" ]; then echo "FAIL: internal header $(basename "$h") installed"; fail=1; fi
done
if [ "$(find "$prefix/include" -type f | wc -l)" != "$(find "$src/lib" "$src/sdk" -name '*.h' -not -path '*/internal/*' | wc -l)" ]; then
    echo "FAIL: installed headers differ from the public ones"; fail=1
fi

# A library built with the sanitizers needs them in the program too.
cflags=()
if grep -q '^QAVO_SANITIZE:BOOL=ON' "$build/CMakeCache.txt"; then
    cflags=(-fsanitize=address,undefined)
fi

# Through pkg-config.
export PKG_CONFIG_PATH="$libdir/pkgconfig"
if ! gcc -std=c11 -pedantic -Wall -Wextra -Werror "${cflags[@]}" $(pkg-config --cflags qavosdk) \
        -o "$work/consumer-pc" "$src/tests/scripts/install/consumer.c" \
        $(pkg-config --libs qavosdk) -Wl,-rpath,"$libdir"; then
    echo "FAIL: build through pkg-config"; fail=1
fi

# Through find_package.
if ! cmake -S "$src/tests/scripts/install" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_C_FLAGS="${cflags[*]}" -DCMAKE_EXE_LINKER_FLAGS="${cflags[*]}" >"$work/cmake.log" 2>&1 ||
   ! cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1; then
    cat "$work/cmake.log"; echo "FAIL: build through find_package"; fail=1
fi

# Both run inside the appliance root.
for prog in "$work/consumer-pc" "$work/cmake/consumer"; do
    [ -x "$prog" ] || continue
    out="$("$src/sim/appliance" --build "$build" -- "$prog" 2>&1)"
    if [ "$out" != 'blue admin "System default user" groups 1' ]; then
        echo "FAIL: $prog printed: $out"; fail=1
    fi
done
[ $fail = 0 ] && echo "install: ok ($soname)"
exit $fail
