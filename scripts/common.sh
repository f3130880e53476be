# Sourced by the quick-start commands: installs the Debian packages that
# building and testing need when they are missing, and builds.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export PATH="$PATH:/usr/sbin:/sbin"

# need PACKAGE...: installs those of the packages that are missing.
need() {
    local missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
            missing+=("$package")
    done
    if ((${#missing[@]})); then
        echo "Installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# build_tree DIR [CMAKE_ARG...]: configures and builds one tree.
build_tree() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRIVO_WERROR=ON -DOSTRIVO_TESTS=ON \
        "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)"
}

# armhf_package: packs build-armhf's daemon; build-armhf/packages holds
# that one .deb.
armhf_package() {
    rm -f build-armhf/packages/*.deb
    cpack --config build-armhf/CPackConfig.cmake >/dev/null
}

# The daemon, tests, demo and benchmark for this machine, in build/.
build_host() {
    build_tree build -DOSTRIVO_SANDBOX=ON "$@"
}

if ((EUID != 0)); then
    echo "$0: run as root: the relay runs among network namespace hosts" >&2
    exit 1
fi
need cmake make g++ libgtest-dev iproute2
