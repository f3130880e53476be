#!/usr/bin/env bash
# Sanitizers and valgrind write their reports into a folder, from the daemon
# and from the tests alike; a run is clean only while that folder holds no
# report. Usage: reports.sh clear|check DIR
set -euo pipefail
dir=$2
case $1 in
# Open to all: one case runs the daemon as an unprivileged user.
clear) rm -rf "$dir" && mkdir -p -m 1777 "$dir" ;;
check)
    found=0
    for report in "$dir"/*; do
        [[ -s $report ]] || continue
        echo "== $report"
        cat "$report"
        found=1
    done
    ((found == 0)) && echo "no reports in $dir"
    exit $found
    ;;
*) exit 2 ;;
esac
