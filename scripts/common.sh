# Sourced by the quick-start commands: installs the Debian packages that
# building and testing need when they are missing, and builds.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export PATH="$PATH:/usr/sbin:/sbin"

source scripts/apt.sh

# build_tree DIR [CMAKE_ARG...]: configures and builds one tree.
build_tree() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRIVO_WERROR=ON -DOSTRIVO_TESTS=ON \
        "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)"
}

# armhf_package: the armhf .deb, as Debian cross-builds it, in build-deb.
armhf_package() {
    packaging/build-deb armhf build-deb >build-deb.log 2>&1 || { cat build-deb.log && return 1; }
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
