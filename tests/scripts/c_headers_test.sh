#!/bin/bash
# Every public header of the library compiles on its own as plain C (C11,
# pedantic), with only the public header folders on the include path, so
# the appliance's other programs can include it. The library's C++ helpers
# live in the internal/ folders. The updater's own C headers are checked too;
# its internal C++ headers say "Internal" on their first comment line.
set -u
src="$1"
fail=0
incs=(-I "$src/lib" -I "$src/updater" -I "$src/sdk/flash" -I "$src/sdk/accounts" -I "$src/sdk/storage"
      -I "$src/sdk/storage/raid" -I "$src/sdk/system")
check() {
    if ! echo "#include \"$1\"" | gcc -x c -std=c11 -pedantic -Wall -Wextra -Werror -fsyntax-only "${incs[@]}" - ; then
        echo "FAIL: $1 does not compile as C"; fail=1
    fi
}
while IFS= read -r h; do
    check "$h"
done < <(find "$src/lib" "$src/sdk" -name '*.h' -not -path '*/internal/*' | sort)
while IFS= read -r h; do
    head -3 "$h" | grep -q "Internal" && continue
    check "$h"
done < <(find "$src/updater" -maxdepth 1 -name '*.h' | sort)
[ $fail = 0 ] && echo "C headers: ok"
exit $fail
