# Sourced first by every benchmark script, with its arguments SRC BUILD [...]
# (the source tree and a build tree with the benchmarks, as scripts/bench.sh
# passes them): sets src and build, both absolute. Without them it prints the
# script's usage, the line "#   NAME.sh SRC BUILD ..." of its header, to
# standard error and exits with 2.
if [ $# -lt 2 ]; then
    line="$(sed -n 's/^#   [^ ]*\.sh \(SRC BUILD.*\)/\1/p' "$0" | head -1)"
    {
        echo "usage: bash $0 ${line:-SRC BUILD}"
        echo "  SRC the source tree, BUILD a build tree with the benchmarks: from the top of"
        echo "  the tree, after scripts/bench.sh has built build/bench: bash $0 . build/bench"
    } >&2
    exit 2
fi
src="$(cd "$1" && pwd)"
build="$(cd "$2" && pwd)"
