#!/usr/bin/env bash
# The init script as a BusyBox system runs it, natively: a chroot whose only
# userland is BusyBox with the applets of Buildroot's BusyBox, this build
# installed in it, BusyBox's syslogd writing /var/log/messages, all in
# mount, network and pid namespaces of its own, so that whatever a case
# starts ends with it. The cases are tests/init_cases.sh, which the BusyBox
# board runs too.
# Usage: init_test.sh BUILD_DIR UDP6_HOLDER
set -euo pipefail
source "$(dirname "$0")/checks.sh"
src=$(cd "$(dirname "$0")/.." && pwd)
build=$1 holder=$2
skip() {
    echo "$*"
    [[ ${OSTRIVO_REQUIRE_INTEGRATION:-} != 1 ]] || exit 1
    exit 77
}
((EUID == 0)) || skip "needs root: the relay runs in namespaces of its own"
busybox=$(command -v busybox) || skip "needs BusyBox: apt-get install busybox-static"

root=$work/root
mkdir -p "$root"/{bin,sbin,dev,proc,run,tmp,root,var/log}
cp "$busybox" "$root/bin/busybox"
for link in $(grep -v '^#' "$src/tests/init_applets"); do
    mkdir -p "$root/${link%/*}" && ln -sf /bin/busybox "$root/$link"
done
DESTDIR=$root cmake --install "$build" >/dev/null
cp "$holder" "$root/bin/udp6_holder"
printf '%s\n' root:x:0:0:root:/root:/bin/sh ostrivo:x:1000:1000::/:/bin/false \
    nobody:x:65534:65534::/:/bin/false >"$root/etc/passwd"
printf '%s\n' root:x:0: ostrivo:x:1000: nogroup:x:65534: >"$root/etc/group"
cp -a "$src/boards/common/." "$root/"
cp "$src/tests/init_cases.sh" "$root/root/"
# The C library and loader that the programs need, where they need them.
for program in "$root"/bin/busybox "$root"/bin/udp6_holder "$root"/opt/Ostrivo/bin/*; do
    ldd "$program" 2>/dev/null || true
done | grep -o '/[^ ]*' | sort -u | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")" && cp -L "$lib" "$root$lib"
done

unshare --mount --net --pid --fork --kill-child bash -c '
    set -e
    root=$1
    ip link set lo up
    mount -t proc proc "$root/proc"
    for dir in run tmp dev; do mount -t tmpfs -o mode=0755 tmpfs "$root/$dir"; done
    chmod 1777 "$root/tmp"
    for node in null zero urandom; do
        touch "$root/dev/$node" && mount --bind "/dev/$node" "$root/dev/$node"
    done
    # Not exec: this shell, the namespace'"'"'s first process, reaps the
    # relays that the script leaves to it, as init does.
    chroot "$root" /bin/sh -c "
        syslogd -O /var/log/messages
        i=0
        while [ ! -S /dev/log ] && [ \$i -lt 50 ]; do sleep 0.1; i=\$((i + 1)); done
        exec sh /root/init_cases.sh /bin/udp6_holder"
    exit $?
' init-test "$root"
