#!/bin/bash
# Every public header of the library compiles as plain C, so the appliance's
# other programs can include it. Internal C++ headers say "Internal" on their
# first comment line.
set -u
src="$1"
fail=0
incs=(-I "$src/lib" -I "$src/updater" -I "$src/updater/flash" -I "$src/sdk/accounts" -I "$src/sdk/storage"
      -I "$src/sdk/storage/raid" -I "$src/sdk/system")
while IFS= read -r h; do
    head -3 "$h" | grep -q "Internal" && continue
    if ! echo "#include \"$h\"" | gcc -x c -std=c11 -Wall -Wextra -Werror -fsyntax-only "${incs[@]}" - ; then
        echo "FAIL: $h does not compile as C"; fail=1
    fi
done < <(find "$src/lib" "$src/updater" "$src/sdk" -name '*.h' | sort)
[ $fail = 0 ] && echo "C headers: ok"
exit $fail
