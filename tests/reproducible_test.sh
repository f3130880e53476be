#!/usr/bin/env bash
# Builds the armhf package twice, from two copies of these sources at paths
# of different lengths, a second apart, with SOURCE_DATE_EPOCH unset: the two
# must be the same bytes.
# Usage: reproducible_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
if ! command -v arm-linux-gnueabihf-g++ >/dev/null; then
    [[ ${OSTRIVO_REQUIRE_INTEGRATION:-} == 1 ]] && echo "FAIL: no armhf compiler" && exit 1
    echo "no armhf compiler: skipped" && exit 77
fi
source "$(dirname "$0")/checks.sh"

for copy in a "a longer path/b"; do
    tree=$work/$copy
    mkdir -p "$tree"
    tar -C "$source_dir" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$tree" -xf -
    (cd "$tree" && cmake -S . -B build -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake &&
        cmake --build build --parallel "$(nproc)" &&
        env -u SOURCE_DATE_EPOCH cpack --config build/CPackConfig.cmake) >"$work/build.log" 2>&1 ||
        { tail -20 "$work/build.log" && exit 1; }
    sleep 1
done
first=("$work"/a/build/packages/*.deb) second=("$work"/"a longer path"/b/build/packages/*.deb)
cmp "${first[0]}" "${second[0]}" || fail "two builds of the same sources differ: $(basename "${first[0]}")"
finish "$(basename "${first[0]}"): the same bytes from two checkouts"
