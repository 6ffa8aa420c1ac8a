# Sourced by the rehearsal tests after src and build are set: a scratch
# folder removed on exit, the check helper (check NAME CONDITION, a failure
# noted in $fail), the report tool, rehearse (the tool on the package), and
# the package: a 2.0.3.520 kernel for an installed 2.0.3.500 of the 1-disk
# model ($tmp/installed, $tmp/pkg).
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
fail=0
check() { if ! eval "$2"; then echo "FAIL: $1"; fail=1; fi; }
report="$build/sim/qavo-rehearse-report"
rehearse() { "$src/sim/qavo-rehearse" --build "$build" --package "$tmp/pkg" "$@"; }

mkdir -p "$tmp/pkg"
printf 'unique="qavomark_ixp420_1hd"\nmajorversion="2"\nminorversion="0"\nbuildphase="3"\nbuildnumber="500"\n' > "$tmp/installed"
sed 's/500/520/' "$tmp/installed" > "$tmp/pkg/VERSION"
head -c 300000 /dev/urandom > "$tmp/pkg/zImage"
