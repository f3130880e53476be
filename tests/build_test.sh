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

# Both ways of staging: every file the install wrote (the manifest names it
# without DESTDIR) is one of a plain install's, and every file under the
# staging root is one of them: no Debian metadata.
# shellcheck disable=SC2086 # the list is words
expected=$(sorted $installed_files)
check_staged() { # ROOT
    local written found
    written=$(tr -s / <"$plain/install_manifest.txt" | sed "s|^$1||; s|^/||" | sort | tr '\n' ' ')
    found=$(cd "$1" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')
    [[ $written == "$expected" ]] || fail "installed to $1: $(cat "$plain/install_manifest.txt")"
    [[ $found == "$expected" ]] || fail "found under $1: $found"
}
# The installs run with empty tmpfs over this machine's /opt and unit folder,
# which must still be empty afterwards.
unshare -m bash -c 'mount --make-rprivate / && mount -t tmpfs none /opt &&
    mount -t tmpfs none /lib/systemd/system && mount -t tmpfs none /etc/init.d &&
    cmake --install "$1" --prefix "$2/prefix" >/dev/null &&
    DESTDIR=$2/destdir cmake --install "$1" >/dev/null &&
    find /opt /lib/systemd/system /etc/init.d -mindepth 1 >"$2/stray"' _ "$plain" "$work" ||
    fail "install failed"
[[ ! -s $work/stray ]] || fail "installed outside the staging root: $(cat "$work/stray")"
check_staged "$work/prefix"
check_staged "$work/destdir"

# An integrator's choice of init files: only that init system's are laid out.
for init in systemd sysv; do
    files=${init}_files
    cmake -S "$source_dir" -B "$plain" -DOSTRIVO_INIT=$init >/dev/null &&
        cmake --install "$plain" --prefix "$work/$init" >/dev/null || fail "install for $init failed"
    laid_out=$(cd "$work/$init" && find lib etc -type f 2>/dev/null | sort | tr '\n' ' ' || true)
    # shellcheck disable=SC2086 # the list is words
    [[ $laid_out == "$(sorted ${!files})" ]] || fail "OSTRIVO_INIT=$init laid out: $laid_out"
done

finish "plain build and install checks passed"
