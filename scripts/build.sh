#!/bin/bash
# Configures and builds one tree: scripts/build.sh DIR [cmake options...]
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
dir="$1"; shift
cmake -S "$src" -B "$dir" "$@" >/dev/null
cmake --build "$dir" -j"${QAVO_JOBS:-$(nproc)}"
