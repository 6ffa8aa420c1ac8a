#!/bin/bash
# The library as others build on it: `cmake --install` into a temporary
# prefix, then a small C program (C11, pedantic) built against the installed
# tree through pkg-config and through find_package, and run inside the
# appliance root. Nothing of the source tree is on the program's include
# path; the installed set holds no internal header. The README's commands
# for it are run as the README gives them.
set -u
src="$1"; build="$2"
work="$(mktemp -d -p "$build" install-test.XXXXXX)"
# The prefix lies outside the source and build trees, as a user's does: the
# programs find the library there inside the appliance root too.
instdir="$(mktemp -d)"
trap 'rm -rf "$work" "$instdir"' EXIT
prefix="$instdir/prefix"
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

# The README's commands, as written there (the test fails when the README
# no longer holds them word for word): the pkg-config build of a program
# that lists the users, with DIR the prefix, and the runs of that program
# from its own folder outside the source and build trees and of one test
# from the top of the tree.
pc_export='export PKG_CONFIG_PATH=DIR/lib/pkgconfig'
pc_build='gcc -std=c11 prog.c -o prog $(pkg-config --cflags --libs qavosdk) -Wl,-rpath,$(pkg-config --variable=libdir qavosdk)'
run_prog='sim/appliance --build BUILD -- ./prog'
run_gtest="sim/appliance --build build/san -- build/san/tests/lib_tests --gtest_filter='ErrCode.*'"
for line in "$pc_export" "$pc_build"; do
    grep -qxF -- "    $line" "$src/README.md" || { echo "FAIL: no README line: $line"; fail=1; }
done
for cmd in "$run_prog" "$run_gtest"; do
    grep -qF -- "\`$cmd\`" "$src/README.md" || { echo "FAIL: the README lacks: $cmd"; fail=1; }
done
[ "$libdir" = "$prefix/lib" ] || { echo "FAIL: the library is in $libdir, not DIR/lib"; fail=1; }
# A program needs no ICU of its own to link: the library links it itself.
libs="$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --libs qavosdk)"
[[ "$libs" != *icu* ]] || { echo "FAIL: pkg-config --libs names ICU: $libs"; fail=1; }
outside="$(mktemp -d)"
trap 'rm -rf "$work" "$instdir" "$outside"' EXIT
cp "$src/tests/scripts/install/consumer.c" "$outside/prog.c"
# The test's strict warnings and, for a sanitized library, the sanitizers
# follow the README's line.
if ! (cd "$outside" && eval "${pc_export/DIR/$prefix}" &&
      eval "$pc_build -pedantic -Wall -Wextra -Werror ${cflags[*]}"); then
    echo "FAIL: the README's pkg-config build"; fail=1
fi

# Through find_package.
if ! cmake -S "$src/tests/scripts/install" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_C_FLAGS="${cflags[*]}" -DCMAKE_EXE_LINKER_FLAGS="${cflags[*]}" >"$work/cmake.log" 2>&1 ||
   ! cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1; then
    cat "$work/cmake.log"; echo "FAIL: build through find_package"; fail=1
fi

# Both run inside the appliance root: the pkg-config one as the README runs
# it, from its own folder, the CMake one by its path.
want='blue admin "System default user" groups 1 users admin guest'
run="$(printf %q "$src")/${run_prog/BUILD/$(printf %q "$build")}"
out="$(cd "$outside" && eval "$run" 2>&1)"
[ "$out" = "$want" ] || { echo "FAIL: $run in $outside printed: $out"; fail=1; }
if [ -x "$work/cmake/consumer" ]; then
    out="$("$src/sim/appliance" --build "$build" -- "$work/cmake/consumer" 2>&1)"
    [ "$out" = "$want" ] || { echo "FAIL: the CMake consumer printed: $out"; fail=1; }
fi
# The README's one test by hand, from the top of the tree (this build tree
# in place of build/san).
rel="${build#"$src"/}"
run="${run_gtest//build\/san/$(printf %q "$rel")}"
if ! out="$(cd "$src" && eval "$run" 2>&1)" || [[ "$out" != *"[  PASSED  ]"* ]]; then
    echo "FAIL: $run printed: $(tail -5 <<< "$out")"; fail=1
fi
[ $fail = 0 ] && echo "install: ok ($soname)"
exit $fail
