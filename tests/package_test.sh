#!/usr/bin/env bash
# Builds the .deb for ARCH from these sources with dpkg-buildpackage, in a
# temporary folder, unpacks it there (it is never installed) and checks what
# a board would get from it. The armhf one is built twice, from copies at
# paths of different lengths, a second apart, with SOURCE_DATE_EPOCH unset:
# the two must be the same bytes.
# Usage: package_test.sh SOURCE_DIR ARCH
set -euo pipefail
source_dir=$1 arch=$2
source "$(dirname "$0")/checks.sh"

case $arch in
armhf) machine=ARM loader=ld-linux-armhf.so.3 ;;
amd64) machine="X86-64" loader=ld-linux-x86-64.so.2 ;;
*) echo "no expectations for $arch" && exit 1 ;;
esac

# The native one is built by an ordinary user, as Debian's build daemons
# build it, from a copy that user may read: a test that needs root must
# skip itself there, even where this run requires every test to run.
tree=$source_dir as=()
if [[ $arch == "$(dpkg --print-architecture)" ]] && ((EUID == 0)); then
    tree=$work/source
    mkdir -p "$tree" "$work/a"
    tar -C "$source_dir" --exclude='./build*' --exclude=./.git --exclude='./obj-*' -cf - . | tar -C "$tree" -xf -
    chmod -R a+rX "$work" && chown 65534:65534 "$work/a"
    as=(setpriv --reuid=65534 --regid=65534 --clear-groups env -u OSTRIVO_REQUIRE_INTEGRATION HOME="$work/a")
fi
build() { # OUT
    env -u SOURCE_DATE_EPOCH "${as[@]}" "$tree/packaging/build-deb" "$arch" "$1" >"$work/build.log" 2>&1 ||
        { tail -40 "$work/build.log" && exit 1; }
}
out=$work/a
build "$out"
debs=("$out"/ostrivod_*_"$arch".deb)
[[ ${#debs[@]} == 1 && -f ${debs[0]} ]] || { echo "expected one package, got: ${debs[*]}" && exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb")"
if [[ $arch == armhf ]]; then
    sleep 1
    build "$work/a longer path/b"
    cmp "$deb" "$work/a longer path/b/$(basename "$deb")" || fail "two builds of the same sources differ"
fi

field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == ostrivod ]] || fail "Package: $(field Package)"
[[ $(field Architecture) == "$arch" ]] || fail "Architecture: $(field Architecture)"
# The programs' libraries, as dpkg-shlibdeps reads them now, and what the
# helpers add (the relay's user is made by systemd-sysusers).
dpkg-deb -x "$deb" "$work/root"
shlibs=$(cd "$out/ostrivod" && dpkg-architecture -a"$arch" -c dpkg-shlibdeps -O \
    "$work"/root/opt/Ostrivo/bin/* 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
misc=$(sed -n 's/^misc:Depends=//p' "$out/ostrivod/debian/ostrivod.substvars")
[[ $shlibs =~ ^libc6\ \(\>=\ ([0-9.]+)\)$ ]] || fail "dpkg-shlibdeps: $shlibs"
libc_version=${BASH_REMATCH[1]:-0}
[[ $misc == *systemd-sysusers* ]] || fail "misc:Depends: $misc"
# dh_gencontrol drops from Depends what Pre-Depends already asks for.
pre=$(field Pre-Depends)
[[ $pre == "init-system-helpers (>= 1.54~)" ]] || fail "Pre-Depends: $pre"
depends=$shlibs
while read -r item; do
    [[ $pre == "${item%% *}"* ]] || depends+=", $item"
done < <(sed 's/, /\n/g' <<<"$misc")
[[ $(field Depends) == "$depends" ]] || fail "Depends: $(field Depends), not $depends"
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -v -E '^\./(control|md5sums)?$' | sort | tr '\n' ' ')
[[ $control == "./conffiles ./postinst ./postrm ./preinst ./prerm " ]] || fail "control files: $control"
[[ $(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles) == /etc/init.d/ostrivod ]] ||
    fail "conffiles: $(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)"
# Each maintainer script holds the sections the helpers write for it.
for expected in "postinst dh_installsysusers dh_installinit dh_installsystemd" \
    "prerm dh_installsystemd dh_installinit" "postrm dh_installinit dh_installsystemd"; do
    read -r script helpers <<<"$expected"
    written=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO "./$script" |
        sed -n 's|^# Automatically added by \([a-z_]*\)/.*|\1|p' | sort -u | tr '\n' ' ')
    # shellcheck disable=SC2086 # the helpers are words
    [[ $written == "$(sorted $helpers)" ]] || fail "$script: sections of $written"
done
# Clean but for the placement under /opt, which the package overrides.
for checked in "$deb" "$out"/ostrivod_*_"$arch".changes; do
    # Its temporary files, which it leaves behind, go with the scratch folder.
    TMPDIR=$work lintian --fail-on error,warning "$checked" >"$work/lintian" 2>&1 ||
        fail "lintian $(basename "$checked"): $(cat "$work/lintian")"
    grep -v 'root privileges' "$work/lintian" && fail "lintian reports the lines above"
done

files=$(cd "$work/root" && find . -type f -o -type l | sed 's|^\./||' | sort | tr '\n' ' ')
# shellcheck disable=SC2086 # the lists are words
expected=$(sorted $package_files)
[[ $files == "$expected" ]] || fail "files: $files"

daemon=$work/root/opt/Ostrivo/bin/ostrivod
[[ -x $daemon && -x $work/root/opt/Ostrivo/bin/ostrivod-check ]] || fail "a program is not executable"
for page in "$work"/root/usr/share/man/man8/*; do
    warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null) ||
        fail "man cannot render $page"
    [[ -z $warnings ]] || fail "$(basename "$page"): $warnings"
done
readelf -h "$daemon" | grep -q "Machine:.*$machine" || fail "not built for $machine"
needed=$(readelf -d "$daemon" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort | tr '\n' ' ')
[[ $needed == "$(printf '%s\n' libc.so.6 "$loader" | sort | tr '\n' ' ')" ]] || fail "NEEDED: $needed"
readelf -S "$daemon" | grep -q '\.symtab' && fail "the daemon is not stripped"
size=$(stat -c %s "$daemon")
[[ $arch != armhf || $size -le 65536 ]] || fail "the daemon is $size bytes, over 64 KiB"
for program in "$daemon" "$work"/root/opt/Ostrivo/bin/ostrivod-{check,launch}; do
    newest=$(readelf -V "$program" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -uV | tail -1)
    [[ $(printf '%s\n%s\n' "$newest" "$libc_version" | sort -V | tail -1) == "$libc_version" ]] ||
        fail "$(basename "$program") needs glibc $newest, the package asks for $libc_version"
done
# Debian's hardening, read from the ELF: position-independent, relocations
# read-only and bound at start-up, stack protector, fortified calls; on
# armhf, 64-bit time.
symbols=$(readelf --dyn-syms -W "$daemon")
readelf -h "$daemon" | grep -q 'Type:.*DYN' || fail "the daemon is not position-independent"
readelf -lW "$daemon" | grep -q GNU_RELRO || fail "the daemon has no RELRO segment"
readelf -dW "$daemon" | grep -q 'FLAGS_1.*NOW' || fail "the daemon is not bound at start-up"
grep -q __stack_chk_fail <<<"$symbols" || fail "the daemon has no stack protector"
grep -q __vsnprintf_chk <<<"$symbols" || fail "the daemon's calls are not fortified"
[[ $arch != armhf ]] || grep -q __select64 <<<"$symbols" || fail "the daemon has 32-bit time"
echo "daemon: $size bytes, NEEDED $needed; package: $(field Depends)"
units=$work/root/lib/systemd/system
# The template is the unit but for what an instance changes.
grep -E '^[A-Z]' "$units/ostrivod.service" | grep -vE '^(Description|ExecStartPre)=' | while read -r line; do
    grep -qxF "$line" "$units/ostrivod@.service" || echo "$line"
done >"$work/template" && [[ ! -s $work/template ]] || fail "the template lacks: $(cat "$work/template")"
# verify looks for ExecStart's program on this machine, and for the manual
# pages the unit names: give it the package's, in a private /opt and on
# MANPATH. It reports doubtful lines without failing,
# so any output is a failure. Each unit's exposure must stay at 1.5 or less;
# the template is read as an instance of it.
if command -v systemd-analyze >/dev/null && ((EUID == 0)); then
    for unit in ostrivod.service ostrivod@relay.service; do
        report=$(unshare -m bash -c 'mount --make-rprivate / && mount -t tmpfs tmpfs /opt &&
            cp -a "$1/opt/Ostrivo" /opt/ && MANPATH=$1/usr/share/man systemd-analyze verify "$2" 2>&1' \
            _ "$work/root" "$units/$unit") ||
            fail "systemd-analyze verify $unit failed"
        [[ -z $report ]] || fail "systemd-analyze verify $unit: $report"
        (cd "$units" && systemd-analyze security --offline=true --threshold=15 \
            "$unit" >"$work/security" 2>&1) || fail "exposure: $(tail -1 "$work/security")"
        echo "$unit: $(grep -o 'exposure level.*' "$work/security")"
    done
elif [[ ${OSTRIVO_REQUIRE_INTEGRATION:-} == 1 ]]; then
    fail "systemd-analyze verify cannot run here (needs systemd-analyze and root)"
else
    echo "systemd-analyze verify: not available, skipped"
fi

finish "package checks passed"
