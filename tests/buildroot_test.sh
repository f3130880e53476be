#!/usr/bin/env bash
# The real Buildroot builds the relay from recipes/buildroot, the external
# tree an integrator names with BR2_EXTERNAL, for an armhf image booted by
# BusyBox init, with Debian's cross compiler as its external toolchain and
# nothing downloaded: the kit holds Buildroot, its host tools' sources and
# BusyBox. The build is the BusyBox board's (boards/board), when BOARD_DIR
# holds one. Checks what the image gets, what legal-info hands out, and
# Buildroot's own linter on the tree.
# Usage: buildroot_test.sh SOURCE_DIR KITS [BOARD_DIR]
set -euo pipefail
source_dir=$1 kits=$2 built=${3:-}
source "$(dirname "$0")/checks.sh"
version=2026.02.3
if [[ ! -f $kits/buildroot-$version.tar.xz ]]; then
    echo "no Buildroot kit in $kits"
    [[ ${OSTRIVO_REQUIRE_INTEGRATION:-} != 1 ]] || exit 1
    exit 77
fi
external=$source_dir/recipes/buildroot
# The BusyBox board's build, as boards/board image busybox left it;
# else one of its own.
if [[ -n $built && -f $built/inputs.sha256 && -d $built/buildroot/out/target ]]; then
    out=$built/buildroot
else
    started=$(date +%s)
    OSTRIVO_KITS=$kits "$source_dir/boards/board" buildroot "$work/buildroot" || exit 1
    echo "Buildroot built the image in $(($(date +%s) - started)) s"
    out=$work/buildroot
fi
buildroot() { # ARG...: make in Buildroot's tree, its words in the log
    FORCE_UNSAFE_CONFIGURE=1 make -C "$out/buildroot" O="$out/out" "$@" >>"$work/buildroot.log" 2>&1
}

# The image: the programs, the example, the init script and its start
# link, no unit; the programs need the C library alone; the relay's user
# is in the users table.
target=$out/out/target
laid_out=$(cd "$target" && find opt etc/init.d -name '*ostrivod*' -o -path 'opt/*' -type f | sort | tr '\n' ' ')
[[ $laid_out == "etc/init.d/S50ostrivod etc/init.d/ostrivod opt/Ostrivo/bin/ostrivod opt/Ostrivo/bin/ostrivod-check \
opt/Ostrivo/bin/ostrivod-launch opt/Ostrivo/etc/settings.example " ]] || fail "laid out: $laid_out"
[[ $(readlink "$target/etc/init.d/S50ostrivod") == ostrivod ]] || fail "S50ostrivod is no link to the script"
find "$target" -name 'ostrivod*.service' | grep -q . && fail "units in an image without systemd"
for program in "$target"/opt/Ostrivo/bin/*; do
    needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
    [[ $needed == "ld-linux-armhf.so.3 libc.so.6 " || $needed == "libc.so.6 " ]] ||
        fail "$(basename "$program") needs $needed"
done
buildroot printvars VARS=PACKAGES_USERS QUOTED_VARS=YES
grep -q "ostrivo -1 ostrivo -1 \* - - - Ostrivo UDP relay" "$work/buildroot.log" || fail "no ostrivo user"
# The init script's chroot has no applet that this BusyBox lacks.
for applet in $(grep -v '^#' "$source_dir/tests/init_applets"); do
    [[ -L $target/$applet && $(readlink "$target/$applet") == *busybox ]] || fail "the image has no $applet"
done

# What a vendor hands out: the licence stated, and none of the sources.
buildroot legal-info || { tail -20 "$work/buildroot.log" && exit 1; }
legal=$out/out/legal-info
grep -q '^"ostrivod","1.1.1","PROPRIETARY","debian/copyright"' "$legal/manifest.csv" ||
    fail "legal-info: $(grep ostrivod "$legal/manifest.csv")"
handed=$(find "$legal/sources" -path '*ostrivod*' -o -name '*.cpp' | head -5)
[[ -z $handed ]] || fail "legal-info hands out the sources: $handed"

# Buildroot's linter, on the whole tree, with Debian's python3 and its
# python3-magic.
mapfile -t files < <(find "$external" -type f)
(cd "$out/buildroot" && PATH=/usr/bin:$PATH utils/check-package -b "${files[@]}") \
    >"$work/check-package.log" 2>&1 || true
grep -qx '0 warnings generated' "$work/check-package.log" ||
    fail "check-package: $(cat "$work/check-package.log")"
finish "Buildroot $version built, laid out and licensed the relay as its tree says"
