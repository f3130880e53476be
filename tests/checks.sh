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
# What a plain install lays out under its root, and what only the package
# adds: Debian's metadata.
systemd_files="lib/systemd/system/ostrivod.service lib/systemd/system/ostrivod@.service"
sysv_files="etc/init.d/ostrivod"
manual_pages="usr/share/man/man8/ostrivod-check.8 usr/share/man/man8/ostrivod-launch.8 usr/share/man/man8/ostrivod.8"
program_files="opt/Ostrivo/bin/ostrivod opt/Ostrivo/bin/ostrivod-check opt/Ostrivo/bin/ostrivod-launch \
opt/Ostrivo/etc/settings.example"
installed_files="$systemd_files $sysv_files $program_files $manual_pages"
# debhelper compresses the pages.
package_files="$systemd_files $sysv_files $program_files ${manual_pages// /.gz }.gz \
usr/share/doc/ostrivod/changelog.gz usr/share/doc/ostrivod/copyright usr/share/lintian/overrides/ostrivod \
usr/lib/sysusers.d/ostrivod.conf"
# sorted FILE...: the words, one a line, sorted, as one line.
sorted() { printf '%s\n' "$@" | sort | tr '\n' ' '; }
