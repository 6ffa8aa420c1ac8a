#!/bin/bash
# Fails when a C or C++ source does not follow .clang-format.
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$src"
mapfile -t files < <(git ls-files -co --exclude-standard -- '*.c' '*.h' '*.cpp' '*.hpp' 2>/dev/null || true)
[ ${#files[@]} -gt 0 ] || exit 0
existing=()
for f in "${files[@]}"; do [ -f "$f" ] && existing+=("$f"); done
clang-format --dry-run -Werror "${existing[@]}"
