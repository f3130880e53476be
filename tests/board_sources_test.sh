#!/usr/bin/env bash
# The boards are built from the suites whose indices apt can fetch: a local
# archive whose security suite lists an index of another size, as a mirror
# does mid-sync, is left out with apt's words, while a broken main suite
# stops the build.
# Usage: board_sources_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
source "$(dirname "$0")/checks.sh"

# suite ARCHIVE NAME SIZE: a suite of a local archive whose one index, empty,
# its Release lists at SIZE bytes.
suite() {
    local dists=$work/$1/dists/$2
    mkdir -p "$dists/main/binary-armhf"
    : >"$dists/main/binary-armhf/Packages"
    printf '%s\n' "Suite: $2" "Codename: $2" "Architectures: armhf" "Components: main" \
        "Date: Thu, 01 Jan 2026 00:00:00 UTC" "SHA256:" \
        " $(sha256sum <"$dists/main/binary-armhf/Packages" | cut -d' ' -f1) $3 main/binary-armhf/Packages" \
        >"$dists/Release"
}
# sources ARCHIVE SUITE...: a deb822 stanza of that archive's suites.
sources() {
    printf '%s\n' "Types: deb" "URIs: file:$work/$1" "Suites: ${*:2}" "Components: main" "Trusted: yes" \
        >"$work/in.sources"
}
board() {
    OSTRIVO_SUITE_TRIES=2 OSTRIVO_SUITE_PAUSE=0 \
        "$source_dir/boards/board" sources "$work/in.sources" "$work/out.sources" 2>"$work/said"
}
said() { cat "$work/said" "$work/out.sources"; }

suite mirror bookworm 0
suite mirror bookworm-security 1
sources mirror bookworm bookworm-security
if board; then
    grep -q '^Suites: bookworm$' "$work/out.sources" || fail "the main suite was left out: $(said)"
    grep -q 'bookworm-security' "$work/out.sources" && fail "the broken suite was kept: $(said)"
    grep -q 'bookworm-security.*trying again' "$work/said" || fail "the broken suite was not tried again: $(said)"
    grep -q 'left out bookworm-security' "$work/said" && grep -q 'E: Failed to fetch .*binary-armhf/Packages' "$work/said" ||
        fail "what was left out, and apt's reason, were not said: $(said)"
else
    fail "a broken security suite stopped the build: $(said)"
fi

suite syncing bookworm 1
sources syncing bookworm
if board; then
    fail "a broken main suite was left out: $(said)"
else
    grep -q 'E: Failed to fetch .*binary-armhf/Packages' "$work/said" || fail "apt's reason was not said: $(said)"
fi
finish "a broken suite is left out and said; a broken main suite stops the build"
