#!/bin/bash
# Formats every C and C++ source in place with .clang-format.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
git ls-files -co --exclude-standard -- '*.c' '*.h' '*.cpp' '*.hpp' | xargs -r clang-format -i
