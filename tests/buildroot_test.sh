#!/usr/bin/env bash
# The real Buildroot builds the relay from recipes/buildroot, the external
# tree an integrator names with BR2_EXTERNAL, for an armhf image booted by
# BusyBox init, with Debian's cross compiler as its external toolchain and
# nothing downloaded: the kit holds Buildroot, its host tools' sources and
# BusyBox. Checks what the image gets, what legal-info hands out, and
# Buildroot's own linter on the tree.
# Usage: buildroot_test.sh SOURCE_DIR KITS
set -euo pipefail
source_dir=$1 kits=$2
source "$(dirname "$0")/checks.sh"
version=2026.02.3
if [[ ! -f $kits/buildroot-$version.tar.xz ]]; then
    echo "no Buildroot kit in $kits"
    [[ ${OSTRIVO_REQUIRE_INTEGRATION:-} != 1 ]] || exit 1
    exit 77
fi
external=$source_dir/recipes/buildroot
tar -C "$work" -xf "$kits/buildroot-$version.tar.xz"
mkdir -p "$work/src" "$work/dl" "$work/out"
tar -C "$work/src" -xf "$kits/buildroot-$version-host-sources.tar.xz"
tar -C "$work/src" -xf "$kits"/busybox-*-buildroot-patches.tar.xz
"$kits/buildroot-debian-toolchain" "$work/xtc"
cat >"$work/out/local.mk" <<MK
HOST_TAR_OVERRIDE_SRCDIR = $work/src/tar-1.35+dfsg
HOST_PKGCONF_OVERRIDE_SRCDIR = $work/src/pkgconf-2.3.0
HOST_PATCHELF_OVERRIDE_SRCDIR = $work/src/patchelf-0.13
BUSYBOX_OVERRIDE_SRCDIR = $(echo "$work"/src/busybox-*)
MK
# Debian's armhf ABI, its compiler, and BusyBox init.
cat >"$work/defconfig" <<CONFIG
BR2_arm=y
BR2_cortex_a7=y
BR2_ARM_EABIHF=y
BR2_ARM_FPU_VFPV3D16=y
BR2_ARM_INSTRUCTIONS_THUMB2=y
BR2_DL_DIR="$work/dl"
BR2_BACKUP_SITE=""
BR2_TOOLCHAIN_EXTERNAL=y
BR2_TOOLCHAIN_EXTERNAL_CUSTOM=y
BR2_TOOLCHAIN_EXTERNAL_PREINSTALLED=y
BR2_TOOLCHAIN_EXTERNAL_PATH="$work/xtc"
BR2_TOOLCHAIN_EXTERNAL_CUSTOM_PREFIX="arm-linux-gnueabihf"
BR2_TOOLCHAIN_EXTERNAL_GCC_12=y
BR2_TOOLCHAIN_EXTERNAL_HEADERS_6_1=y
BR2_TOOLCHAIN_EXTERNAL_CUSTOM_GLIBC=y
BR2_TOOLCHAIN_EXTERNAL_CXX=y
BR2_TOOLCHAIN_EXTERNAL_OPENMP=y
# BR2_TOOLCHAIN_EXTERNAL_INET_RPC is not set
BR2_INIT_BUSYBOX=y
# BR2_TARGET_ROOTFS_TAR is not set
BR2_PACKAGE_OSTRIVOD=y
CONFIG
buildroot() { # ARG...: make in Buildroot's tree, its words in the log
    FORCE_UNSAFE_CONFIGURE=1 make -C "$work/buildroot-$version" O="$work/out" BR2_EXTERNAL="$external" \
        "$@" >>"$work/buildroot.log" 2>&1
}
started=$(date +%s)
buildroot defconfig BR2_DEFCONFIG="$work/defconfig" && buildroot ||
    { tail -30 "$work/buildroot.log" && exit 1; }
echo "Buildroot built the image in $(($(date +%s) - started)) s"

# The image: the programs, the example, the init script and its start
# link, no unit; the programs need the C library alone; the relay's user
# is in the users table.
target=$work/out/target
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

# What a vendor hands out: the licence stated, and none of the sources.
buildroot legal-info || { tail -20 "$work/buildroot.log" && exit 1; }
legal=$work/out/legal-info
grep -q '^"ostrivod","1.1.1","PROPRIETARY","debian/copyright"' "$legal/manifest.csv" ||
    fail "legal-info: $(grep ostrivod "$legal/manifest.csv")"
handed=$(find "$legal/sources" -path '*ostrivod*' -o -name '*.cpp' | head -5)
[[ -z $handed ]] || fail "legal-info hands out the sources: $handed"

# Buildroot's linter, on the whole tree, with Debian's python3 and its
# python3-magic.
mapfile -t files < <(find "$external" -type f)
(cd "$work/buildroot-$version" && PATH=/usr/bin:$PATH utils/check-package -b "${files[@]}") \
    >"$work/check-package.log" 2>&1 || true
grep -qx '0 warnings generated' "$work/check-package.log" ||
    fail "check-package: $(cat "$work/check-package.log")"
finish "Buildroot $version built, laid out and licensed the relay as its tree says"
