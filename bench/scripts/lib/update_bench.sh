# Sourced by the update benchmarks after set -eu, with their arguments
# (SRC BUILD [rounds]): src and build (lib/args.sh), rounds (3 by default),
# a scratch folder $tmp removed on exit, and in_unit, which runs the script on its
# standard input (with rounds as $1) in one appliance root with the kernel
# shim and the emulated chip that "$tmp/bench.desc" describes. The script
# finds the package folder $pkg with the new VERSION and a link to the
# updater, and now(), the time in seconds.
. "$(dirname "${BASH_SOURCE[0]}")/args.sh"
rounds="${3:-3}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

in_unit() {
    {
        cat <<'PRE'
set -eu
rounds="$1"
pkg=/volume1/upd@te
mkdir -p "$pkg"
sed 's/buildnumber="500"/buildnumber="520"/' /etc.defaults/VERSION > "$pkg/VERSION"
ln -s "$QAVO_BUILD/updater" "$pkg/updater"
now() { date +%s.%N; }
PRE
        cat
    } | "$src/sim/appliance" --build "$build" --sim "$tmp/bench.desc" --shim -- bash -s "$rounds"
}
