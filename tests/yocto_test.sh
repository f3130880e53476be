#!/usr/bin/env bash
# Yocto's BitBake, from the kit, on the layer in recipes/meta-ostrivo: for
# the LTS (5.0) and the newest release (6.0), each with systemd and with
# SysV init, it parses the recipe and unpacks its sources as an ordinary
# user, as BitBake must run. The kit has no cross toolchain, so this
# machine's compiler stands in for it: the recipe's own configure, compile
# and install functions, as BitBake expands them, build the unpacked
# sources. Checks that the packages' FILES hold all that the install lays
# out, that the units and the init script the recipe names are there, and
# that the debug information names the sources where Yocto's -src package
# puts them.
# Usage: yocto_test.sh SOURCE_DIR KITS
set -euo pipefail
source_dir=$1 kits=$2
source "$(dirname "$0")/checks.sh"
releases="5.0.19 6.0.2"
for release in $releases; do
    [[ -f $kits/yocto-$release-oe-core-bitbake.tar.xz ]] && continue
    echo "no Yocto $release kit in $kits"
    [[ ${OSTRIVO_REQUIRE_INTEGRATION:-} != 1 ]] || exit 1
    exit 77
done
chmod 755 "$work"
layer=$work/meta-ostrivo
recipe=$(cd "$source_dir/recipes/meta-ostrivo" && echo recipes-*/ostrivod/ostrivod_*.bb)
cp -r "$source_dir/recipes/meta-ostrivo" "$layer"
# The sources as a release hands them out, beside the recipe.
mkdir -p "$layer/${recipe%/*}/files/ostrivod"
tar -C "$source_dir" --exclude='./build*' --exclude='./obj-*' --exclude=./.git -cf - . |
    tar -C "$layer/${recipe%/*}/files/ostrivod" -xf -
# BitBake refuses root: it runs as nobody, which owns the scratch folder.
as_user() { # COMMAND...
    if ((EUID == 0)); then
        setpriv --reuid=65534 --regid=65534 --clear-groups "$@"
    else
        "$@"
    fi
}
((EUID != 0)) || chown -R 65534:65534 "$work"

# value NAME ENV: NAME's value as bitbake -e wrote it to ENV.
value() { sed -n "s/^\(export \)\{0,1\}$1=\"\(.*\)\"\$/\2/p" "$2"; }

# covered FILE PATTERNS: whether a package whose FILES are PATTERNS holds
# FILE, a path in the image: it matches a pattern, or lies in a folder that
# one names.
covered() {
    local pattern
    for pattern in $2; do
        # shellcheck disable=SC2053 # the pattern is a glob
        [[ $1 == $pattern || $1 == $pattern/* ]] && return 0
    done
    return 1
}

for release in $releases; do
    mkdir "$work/$release"
    tar -C "$work/$release" -xf "$kits/yocto-$release-oe-core-bitbake.tar.xz"
    for init in systemd sysvinit; do
        build=$work/build-$release-$init
        mkdir -p "$build/conf"
        cat >"$build/conf/local.conf" <<CONF
MACHINE = "qemuarm"
DISTRO ?= "nodistro"
INIT_MANAGER = "$init"
BB_NO_NETWORK = "1"
CONNECTIVITY_CHECK_URIS = ""
INHERIT:remove = "uninative"
BB_NUMBER_THREADS = "$(nproc)"
BB_NUMBER_PARSE_THREADS = "$(nproc)"
BB_DISKMON_DIRS = ""
CONF
        cat >"$build/conf/bblayers.conf" <<CONF
BBPATH = "\${TOPDIR}"
BBFILES ?= ""
BBLAYERS = "$work/$release/oe-core/meta $layer"
CONF
        ((EUID != 0)) || chown -R 65534:65534 "$build"
        said="Yocto $release with $init" failed_before=$failures
        bitbake() { # ARG...: BitBake on the recipe alone, in the build folder
            (cd "$build" && as_user env -i HOME="$work" LANG=C.UTF-8 \
                PATH="$work/$release/bitbake/bin:$work/$release/oe-core/scripts:/usr/bin:/bin" \
                bitbake -b "$layer/$recipe" "$@")
        }
        env=$build/env
        if ! bitbake -e >"$env" 2>"$build/parse.log"; then
            fail "$said: the recipe does not parse: $(grep -E 'ERROR|error' "$build/parse.log" | head -5)"
            continue
        fi
        if ! bitbake -c unpack >"$build/unpack.log" 2>&1; then
            fail "$said: the recipe does not unpack: $(grep ERROR "$build/unpack.log" | head -5)"
            continue
        fi
        source=$(value S "$env") objects=$(value B "$env") image=$(value D "$env")
        [[ -f $source/CMakeLists.txt ]] || { fail "$said: nothing unpacked in $source" && continue; }

        # The recipe's configure, compile and install, as BitBake expanded
        # them, with its flags but this machine's compiler: no toolchain
        # file, and gcc 12 has no -fcanon-prefix-map.
        functions=$(sed -n '/^cmake_[a-z_]*() {$/,/^}$/p' "$env" | sed 's/-DCMAKE_TOOLCHAIN_FILE:FILEPATH=[^ ]*//')
        flags=$(value TARGET_CXXFLAGS "$env" | sed 's/-fcanon-prefix-map//')
        link_flags=$(value TARGET_LDFLAGS "$env" | sed 's/-fcanon-prefix-map//')
        mkdir -p "$objects"
        ((EUID != 0)) || chown 65534:65534 "$objects"
        if ! (cd "$objects" && as_user env CXXFLAGS="$flags" LDFLAGS="$link_flags" \
            bash -ec "bbnote() { :; }; $functions
                cmake_do_configure && cmake_do_compile && cmake_do_install") >"$build/compile.log" 2>&1; then
            fail "$said: the recipe's build failed: $(tail -5 "$build/compile.log")"
            continue
        fi

        # Every file the install lays out is in a package, the programs
        # in the relay's own.
        packages=$(value PACKAGES "$env") all_files=
        for package in $packages; do
            all_files="$all_files $(value "FILES:$package" "$env")"
        done
        # The systemd class adds the units it starts, each with its template.
        unitdir=$(value systemd_system_unitdir "$env")
        for unit in $(value SYSTEMD_SERVICE:ostrivod "$env"); do
            all_files="$all_files $unitdir/$unit $unitdir/${unit%.service}@.service"
        done
        for file in $(cd "$image" && find . -type f -o -type l | sed 's|^\.||' | sort); do
            covered "$file" "$all_files" || fail "$said: $file is in no package"
            [[ $file != /opt/Ostrivo/bin/* ]] || covered "$file" "$(value FILES:ostrivod "$env")" ||
                fail "$said: $file is not in the ostrivod package"
        done
        case $init in
        systemd)
            units=$(value SYSTEMD_SERVICE:ostrivod "$env")
            [[ -n $units ]] || fail "$said: no SYSTEMD_SERVICE"
            for unit in $units; do
                [[ -f $image$unitdir/$unit ]] || fail "$said: no $unit installed"
            done
            [[ ! -e $image/etc/init.d ]] || fail "$said: an init script beside the units"
            ;;
        sysvinit)
            script=$(value INITSCRIPT_NAME "$env")
            [[ -x $image$(value sysconfdir "$env")/init.d/$script ]] || fail "$said: no init script $script"
            [[ -z $(find "$image" -name '*.service') ]] || fail "$said: units beside the init script"
            ;;
        esac

        # The debug information names the sources where the -src package
        # holds them, and no build type's flags came after Yocto's.
        names=$(readelf --debug-dump=info "$objects/ostrivod" | sed -n 's/.*DW_AT_name.*: \(.*ostrivod\.cpp\)$/\1/p')
        [[ $names == "/usr/src/debug/ostrivod/$(value PV "$env")/daemon/ostrivod.cpp" ]] ||
            fail "$said: the debug information names $names"
        grep -q -e '-DNDEBUG' "$objects/compile_commands.json" && fail "$said: a build type's flags were added"
        ((failures > failed_before)) || echo "$said: parsed, unpacked, built and packaged"
    done
done
finish "BitBake parses and unpacks the recipe on Yocto $releases with systemd and SysV init; its packages hold the install"
