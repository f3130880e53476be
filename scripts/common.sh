# Sourced by the quick-start commands: installs the Debian packages that
# building and testing need when they are missing, then builds into build/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
export PATH="$PATH:/usr/sbin:/sbin"

PACKAGES=(cmake make g++ libgtest-dev iproute2)

install_missing() {
    local missing=()
    for package in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
            missing+=("$package")
    done
    if ((${#missing[@]})); then
        echo "Installing ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

build() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build --parallel "$(nproc)"
}

if ((EUID != 0)); then
    echo "$0: run as root: the relay runs among network namespace hosts" >&2
    exit 1
fi
install_missing
