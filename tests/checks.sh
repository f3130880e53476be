# Sourced by the shell tests: a scratch folder that goes away however the
# test ends, fail to count a failed check and go on, finish to end.
set -euo pipefail
# File lists are compared sorted, the same way everywhere.
export LC_ALL=C
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
finish() { # MESSAGE: exits 1 after any failure, else prints it
    ((failures == 0)) || exit 1
    echo "$1"
}
