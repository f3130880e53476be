#!/usr/bin/env bash
# The boards are built from the suites whose indices apt can fetch: a local
# archive whose security suite lists an index of another size, as a mirror
# does mid-sync, is left out with apt's words, while a broken main suite
# stops the build. The scripts' own apt-get update leaves out such an index
# of a foreign architecture alone.
# Usage: board_sources_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
source "$(dirname "$0")/checks.sh"

# suite ARCHIVE NAME SIZE [AMD64_SIZE]: a suite of a local archive whose
# armhf index, empty, its Release lists at SIZE bytes, and its amd64 one at
# AMD64_SIZE.
suite() {
    local dists=$work/$1/dists/$2 arch sizes=(armhf "$3") empty
    empty=$(sha256sum </dev/null | cut -d' ' -f1)
    [[ -z ${4:-} ]] || sizes+=(amd64 "$4")
    mkdir -p "$dists"
    printf '%s\n' "Suite: $2" "Codename: $2" "Architectures: armhf${4:+ amd64}" "Components: main" \
        "Date: Thu, 01 Jan 2026 00:00:00 UTC" "SHA256:" >"$dists/Release"
    for ((arch = 0; arch < ${#sizes[@]}; arch += 2)); do
        mkdir -p "$dists/main/binary-${sizes[arch]}"
        : >"$dists/main/binary-${sizes[arch]}/Packages"
        echo " $empty ${sizes[arch + 1]} main/binary-${sizes[arch]}/Packages" >>"$dists/Release"
    done
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
# The scripts' apt-get update, with its own state and these sources, for
# amd64 with armhf as a foreign architecture.
update() {
    mkdir -p "$work/apt/parts" "$work/apt/lists/partial"
    cp "$work/in.sources" "$work/apt/parts/"
    printf '%s\n' "Dir::Etc::SourceList \"/dev/null\";" "Dir::Etc::SourceParts \"$work/apt/parts\";" \
        "Dir::State::Lists \"$work/apt/lists\";" "Dir::State::status \"/dev/null\";" \
        "Dir::Cache \"$work/apt\";" "APT::Sandbox::User \"root\";" "APT::Architecture \"amd64\";" \
        "APT::Architectures { \"amd64\"; \"armhf\"; };" >"$work/apt.conf"
    (source "$source_dir/scripts/apt.sh" && APT_CONFIG=$work/apt.conf OSTRIVO_SUITE_TRIES=2 \
        OSTRIVO_SUITE_PAUSE=0 apt_update) 2>"$work/said"
}
suite both bookworm-security 1 0
sources both bookworm-security
if update; then
    grep -q 'left out' "$work/said" && grep -q 'E: Failed to fetch .*binary-armhf/Packages' "$work/said" ||
        fail "the broken armhf index was not named: $(cat "$work/said")"
else
    fail "a broken armhf index failed the update: $(cat "$work/said")"
fi
suite native bookworm-security 0 1
sources native bookworm-security
update && fail "a broken amd64 index was left out: $(cat "$work/said")"
finish "a broken suite is left out and said; a broken main suite or native index is an error"
