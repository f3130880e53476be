#!/usr/bin/env bash
# Builds these sources as a user or a distribution would, with CMake and a
# C++ compiler alone: GoogleTest is hidden from the configure in a private
# mount namespace. Then installs the build into staging roots and checks
# that nothing landed outside them.
# Usage: build_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
if ((EUID != 0)); then
    [[ ${OSTRIVO_REQUIRE_INTEGRATION:-} == 1 ]] && echo "FAIL: needs root" && exit 1
    echo "needs root to hide GoogleTest: skipped" && exit 77
fi
source "$(dirname "$0")/checks.sh"

# without_gtest COMMAND...: runs it with GoogleTest's headers, CMake package
# and sources hidden under empty folders.
without_gtest() {
    unshare -m bash -c 'mount --make-rprivate / || exit
        for dir in /usr/include/gtest /usr/lib/*/cmake/GTest /usr/src/googletest; do
            [[ ! -d $dir ]] || mount -t tmpfs none "$dir" || exit
        done
        exec "$@"' _ "$@"
}

plain=$work/plain
without_gtest cmake -S "$source_dir" -B "$plain" >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" && exit 1; }
without_gtest cmake --build "$plain" --parallel "$(nproc)" >"$work/build.log" 2>&1 ||
    fail "a plain build failed: $(tail -5 "$work/build.log")"
[[ -x $plain/ostrivod ]] || fail "a plain build made no daemon"
grep -q -- -Werror "$plain/compile_commands.json" && fail "a plain build makes warnings errors"

if without_gtest cmake -S "$source_dir" -B "$work/tests" -DOSTRIVO_TESTS=ON >"$work/tests.log" 2>&1; then
    fail "the tests configured without GoogleTest"
fi
grep -q "libgtest-dev" "$work/tests.log" || fail "the missing GoogleTest is not named: $(cat "$work/tests.log")"

# laid_out ROOT: every file under ROOT, as one sorted line.
laid_out() { (cd "$1" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' '); }

# runnable ROOT: every program that the units and the init script under
# ROOT run is there.
runnable() {
    local program
    for program in $(cat "$1"/*/systemd/system/ostrivod*.service "$1"/lib/systemd/system/ostrivod*.service \
        "$1"/etc/init.d/ostrivod 2>/dev/null |
        sed -n 's/^Exec[A-Za-z]*=[+-]*\([^ ]*\).*/\1/p; s/^[A-Z]*=\(\/[^ ]*\/ostrivod[-a-z]*\)$/\1/p' | sort -u); do
        [[ -x $1$program ]] || fail "$1: the init files run $program, which is not there"
    done
}

# Both ways of staging the default layout: every file the install wrote
# (the manifest names it without DESTDIR) is one of a plain install's, and
# every file under the staging root is one of them: no Debian metadata.
# shellcheck disable=SC2086 # the list is words
expected=$(sorted $installed_files)
check_staged() { # ROOT
    local written
    written=$(tr -s / <"$plain/install_manifest.txt" | sed "s|^$1||; s|^/||" | sort | tr '\n' ' ')
    [[ $written == "$expected" ]] || fail "installed to $1: $(cat "$plain/install_manifest.txt")"
    [[ $(laid_out "$1") == "$expected" ]] || fail "found under $1: $(laid_out "$1")"
    runnable "$1"
}
# The installs run with empty tmpfs over this machine's /opt, /etc/init.d
# and unit folder, which must still be empty afterwards.
staged() { # COMMAND...: runs it so; fails if it wrote there
    unshare -m bash -c 'mount --make-rprivate / && mount -t tmpfs none /opt &&
        mount -t tmpfs none /lib/systemd/system && mount -t tmpfs none /etc/init.d &&
        "$@" >/dev/null && find /opt /lib/systemd/system /etc/init.d -mindepth 1 >"'"$work"'/stray"' _ "$@" ||
        fail "install failed: $*"
    [[ ! -s $work/stray ]] || fail "$* installed outside the staging root: $(cat "$work/stray")"
}
staged cmake --install "$plain" --prefix "$work/prefix"
check_staged "$work/prefix"
staged env DESTDIR="$work/destdir" cmake --install "$plain"
check_staged "$work/destdir"

# Buildroot's cmake-package and Yocto's cmake class, configuring and
# installing as they do (this machine's compiler standing in for their
# cross toolchains): the same programs under /opt, the rest where the prefix
# /usr puts it. A Buildroot image without systemd has no systemd.pc, so the
# units go under the prefix; Yocto's has one, which names their folder.
mkdir -p "$work/no-pc" "$work/systemd-pc"
printf 'systemdsystemunitdir=/lib/systemd/system\nName: systemd\nDescription: -\nVersion: 252\n' \
    >"$work/systemd-pc/systemd.pc"
usr_files="opt/Ostrivo/bin/ostrivod opt/Ostrivo/bin/ostrivod-check opt/Ostrivo/bin/ostrivod-launch \
opt/Ostrivo/etc/settings.example usr/share/man/man8/ostrivod-check.8.gz usr/share/man/man8/ostrivod-launch.8.gz usr/share/man/man8/ostrivod.8.gz \
etc/init.d/ostrivod"
buildroot=$work/buildroot yocto=$work/yocto
mkdir -p "$buildroot" && (cd "$buildroot" && PKG_CONFIG_LIBDIR=$work/no-pc cmake "$source_dir" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="/usr" -DCMAKE_COLOR_MAKEFILE=OFF \
    -DBUILD_DOC=OFF -DBUILD_DOCS=OFF -DBUILD_EXAMPLE=OFF -DBUILD_EXAMPLES=OFF -DBUILD_TEST=OFF \
    -DBUILD_TESTS=OFF -DBUILD_TESTING=OFF -DBUILD_SHARED_LIBS=ON &&
    make -j"$(nproc)") >"$work/buildroot.log" 2>&1 || fail "Buildroot's build failed: $(tail -5 "$work/buildroot.log")"
staged env DESTDIR="$work/buildroot-root" cmake --install "$buildroot"
# shellcheck disable=SC2086 # the lists are words
[[ $(laid_out "$work/buildroot-root") == "$(sorted $usr_files usr/lib/systemd/system/ostrivod.service \
    usr/lib/systemd/system/ostrivod@.service)" ]] || fail "Buildroot's install: $(laid_out "$work/buildroot-root")"
runnable "$work/buildroot-root"

# Yocto names no build type and gives its own flags, mapping the source and
# build folders to the folder its -src package holds: the debug information
# must name the sources there.
dbgsrc=/usr/src/debug/ostrivod/$(sed -n 's/^project(ostrivo VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
need_ninja=$(command -v ninja || true)
if [[ -n $need_ninja ]]; then
    CXXFLAGS="-O2 -g -ffile-prefix-map=$source_dir=$dbgsrc -ffile-prefix-map=$yocto=$dbgsrc -pipe" \
        PKG_CONFIG_LIBDIR=$work/systemd-pc cmake -G Ninja -DCMAKE_MAKE_PROGRAM=ninja -S "$source_dir" -B "$yocto" \
        -DCMAKE_INSTALL_PREFIX:PATH=/usr -DCMAKE_INSTALL_BINDIR:PATH=bin -DCMAKE_INSTALL_SBINDIR:PATH=sbin \
        -DCMAKE_INSTALL_LIBEXECDIR:PATH=libexec -DCMAKE_INSTALL_SYSCONFDIR:PATH=/etc \
        -DCMAKE_INSTALL_SHAREDSTATEDIR:PATH=../com -DCMAKE_INSTALL_LOCALSTATEDIR:PATH=/var \
        -DCMAKE_INSTALL_LIBDIR:PATH=lib -DCMAKE_INSTALL_INCLUDEDIR:PATH=include \
        -DCMAKE_INSTALL_DATAROOTDIR:PATH=share -DPYTHON_EXECUTABLE:PATH=python3 \
        -DPython_EXECUTABLE:PATH=python3 -DPython3_EXECUTABLE:PATH=python3 -DLIB_SUFFIX= \
        -DCMAKE_INSTALL_SO_NO_EXE=0 -DCMAKE_NO_SYSTEM_FROM_IMPORTED=1 -DCMAKE_EXPORT_NO_PACKAGE_REGISTRY=ON \
        -DFETCHCONTENT_FULLY_DISCONNECTED=ON -DCMAKE_EXPORT_COMPILE_COMMANDS:BOOL=ON -Wno-dev \
        -DOSTRIVO_SYSTEMD_UNIT_DIR=/lib/systemd/system >"$work/yocto.log" 2>&1 &&
        cmake --build "$yocto" --target all >>"$work/yocto.log" 2>&1 ||
        fail "Yocto's build failed: $(tail -5 "$work/yocto.log")"
    staged env DESTDIR="$work/yocto-root" cmake --install "$yocto"
    names=$(readelf --debug-dump=info "$yocto/ostrivod" | sed -n 's/.*DW_AT_name.*: \(.*ostrivod\.cpp\)$/\1/p')
    [[ $names == "$dbgsrc/daemon/ostrivod.cpp" ]] || fail "Yocto's debug information names $names"
    grep -q -e '-DNDEBUG' "$yocto/compile_commands.json" && fail "a build type was forced over Yocto's flags"
    # shellcheck disable=SC2086 # the lists are words
    [[ $(laid_out "$work/yocto-root") == "$(sorted $usr_files $systemd_files)" ]] ||
        fail "Yocto's install: $(laid_out "$work/yocto-root")"
    runnable "$work/yocto-root"
else
    fail "no ninja, which Yocto's cmake class builds with: install ninja-build"
fi

# An image that ships libstdc++ may link it rather than carry it.
cmake -S "$source_dir" -B "$plain" -DOSTRIVO_STATIC_CXX_RUNTIME=OFF >/dev/null &&
    cmake --build "$plain" --target ostrivod >/dev/null || fail "a build without the static C++ runtime failed"
readelf -d "$plain/ostrivod" | grep -q 'NEEDED.*libstdc++' || fail "OSTRIVO_STATIC_CXX_RUNTIME=OFF: no libstdc++"

# An integrator's choice of init files: only that init system's are laid out.
for init in systemd sysv; do
    files=${init}_files
    cmake -S "$source_dir" -B "$plain" -DOSTRIVO_INIT=$init >/dev/null &&
        cmake --install "$plain" --prefix "$work/$init" >/dev/null || fail "install for $init failed"
    laid_out=$(cd "$work/$init" && find lib etc -type f 2>/dev/null | sort | tr '\n' ' ' || true)
    # shellcheck disable=SC2086 # the list is words
    [[ $laid_out == "$(sorted ${!files})" ]] || fail "OSTRIVO_INIT=$init laid out: $laid_out"
done

finish "plain, Buildroot's and Yocto's build and install checks passed"
