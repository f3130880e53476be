# Sourced by the scripts: the Debian packages they need, from this
# machine's apt sources.

# apt_update: apt-get update, tried three times 10 s apart. An index of a
# foreign architecture (armhf, for the package's cross build) that a mirror
# still serves broken is left out, as the boards leave it out, and named:
# apt keeps the other suites' indices. Any other failure is an error.
apt_update() {
    local tries=${OSTRIVO_SUITE_TRIES:-3} try output errors foreign native
    for ((try = 1; ; try++)); do
        output=$(apt-get update -qq 2>&1) && return 0
        ((try < tries)) || break
        sleep "${OSTRIVO_SUITE_PAUSE:-10}"
    done
    errors=$(grep '^E: ' <<<"$output" | grep -v '^E: Some index files failed to download' || true)
    native=$(apt-config dump --no-empty --format '%v%n' APT::Architecture)
    for foreign in $(apt-config dump --no-empty --format '%v%n' APT::Architectures); do
        [[ $foreign == "$native" ]] ||
            errors=$(grep -v "^E: Failed to fetch .*/binary-$foreign/" <<<"$errors" || true)
    done
    if [[ -n $errors ]]; then
        echo "$output" >&2
        return 1
    fi
    echo "apt-get update: left out what apt cannot fetch:" >&2
    grep '^E: Failed to fetch' <<<"$output" >&2
}

# need PACKAGE...: installs those of the packages that are missing; a
# package named PACKAGE:ARCH adds ARCH to dpkg's architectures first.
need() {
    local missing=() arch
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
            missing+=("$package")
    done
    if ((${#missing[@]})); then
        echo "Installing ${missing[*]}"
        for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/.*:\(.*\)/\1/p' | sort -u); do
            dpkg --add-architecture "$arch"
        done
        apt_update
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}
