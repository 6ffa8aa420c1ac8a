#!/bin/bash
# Sets everything up and runs the updater on the simulated appliance.
set -euo pipefail
src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$src/scripts/setup.sh"
build="$src/build/release"
"$src/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQAVO_TESTS=OFF
echo "== updater -h on the simulated appliance"
"$src/sim/appliance" --build "$build" -- "$build/updater" -h
