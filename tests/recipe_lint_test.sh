#!/usr/bin/env bash
# Yocto's recipe linter, oelint-adv from the kit, on the layer's recipe for
# the oldest and the newest release the layer is for: no warning, no error.
# Its one rule that needs the network, whether HOMEPAGE answers, is left
# out: there is none here.
# Usage: recipe_lint_test.sh SOURCE_DIR KITS
set -euo pipefail
source_dir=$1 kits=$2
source "$(dirname "$0")/checks.sh"
if [[ ! -f $kits/oelint-adv-sources.tar.xz ]]; then
    echo "no oelint-adv kit in $kits"
    [[ ${OSTRIVO_REQUIRE_INTEGRATION:-} != 1 ]] || exit 1
    exit 77
fi
tar -C "$work" -xf "$kits/oelint-adv-sources.tar.xz"
export PYTHONPATH=$work/oelint-adv:$work/oelint-parser:$work/oelint-data:$work/anytree/src:$work/argcomplete
for recipe in "$source_dir"/recipes/meta-ostrivo/recipes-*/*/*.bb; do
    for release in scarthgap wrynose; do
        said=$(/usr/bin/python3 -m oelint_adv --quiet --exit-zero --release "$release" \
            --suppress oelint.vars.homepageping "$recipe" 2>&1) || fail "$release: oelint-adv failed: $said"
        grep -E ':(warning|error):' <<<"$said" && fail "$(basename "$recipe") on $release"
    done
done
finish "oelint-adv finds nothing to warn of in the recipe, on scarthgap and wrynose"
