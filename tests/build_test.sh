#!/usr/bin/env bash
# Builds these sources as a user or a distribution would, with CMake and a
# C++ compiler alone: GoogleTest is hidden from the configure in a private
# mount namespace. Then installs the build into staging roots and checks
# that nothing landed outside them. How Buildroot and Yocto build it, their
# own tests run them.
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

finish "the plain build and its installs checks passed"
