#!/usr/bin/env bash
# ostrivod-launch, as root: the user it becomes, and the one capability it
# keeps only for a port below 1024; run again by that user, as a unit runs
# it, it can only lower what it was given. What it refuses runs nothing, and
# the program gets nothing else of the caller's: no descriptor, no ignored
# or blocked signal.
# Usage: launch_test.sh LAUNCHER
set -euo pipefail
if ((EUID != 0)); then
    [[ ${OSTRIVO_REQUIRE_INTEGRATION:-} == 1 ]] && echo "FAIL: needs root" && exit 1
    echo "needs root to change users: skipped" && exit 77
fi
source "$(dirname "$0")/checks.sh"
# Run as nobody too: a copy in a folder that nobody can reach.
cp "$1" "$work/ostrivod-launch"
launch=$work/ostrivod-launch
printf 'MOD_OSTRIVO_PORT=700\n' >"$work/low"
printf 'MOD_OSTRIVO_PORT=7007\n' >"$work/high"
chmod 755 "$work" && chmod 644 "$work/low" "$work/high"
bind=0000000000000400 none=0000000000000000

# launched EXPECTED COMMAND...: the credentials of what COMMAND runs.
launched() {
    local want=$1 got
    shift
    got=$("$@" /bin/grep -E '^(Uid|Gid|Groups|Cap(Inh|Prm|Eff|Bnd|Amb)|NoNewPrivs):' /proc/self/status \
        2>/dev/null | tr -s '\t\n ' '   ') || true
    [[ $got == "$want" ]] || fail "$*: $got, not $want"
}
ids="Uid: 65534 65534 65534 65534 Gid: 65534 65534 65534 65534 Groups: "
# caps SET [INHERITABLE [BOUNDING]]
caps() { echo "CapInh: ${2:-$1} CapPrm: $1 CapEff: $1 CapBnd: ${3:-$1} CapAmb: $1 NoNewPrivs: 1 "; }
launched "$ids$(caps $bind)" "$launch" -u nobody -f "$work/low"
launched "$ids$(caps $none)" "$launch" -u 65534:65534 -f "$work/high"
launched "$ids$(caps $none)" "$launch" -u nobody -f "$work/missing"
# A unit's relay: its user and capability given, the launcher lowers them.
# The inheritable set stays, but confers nothing: no program has file
# capabilities to match it, and none may gain them.
launched "$ids$(caps $bind)" "$launch" -u nobody -f "$work/low" "$launch" -f "$work/low"
launched "$ids$(caps $none $bind $bind)" "$launch" -u nobody -f "$work/low" "$launch" -f "$work/high"
launched "" "$launch" -u nobody -f "$work/high" "$launch" -f "$work/low"

# Refused, each with exit 1 and its value named, and nothing run: ids out
# of range (4294967295 is "leave it" to the kernel; 2^32 wraps to 0),
# anything but digits, root's uid or group, root by name, a second -u, and
# root with no -u at all.
while IFS='|' read -r args named; do
    read -ra words <<<"$args"
    said=$("$launch" "${words[@]}" /bin/echo ran 2>&1) && status=0 || status=$?
    [[ $status == 1 && $said != *ran && $said == *"$named"* ]] || fail "$args: status $status, said: $said"
done <<'TABLE'
-u 4294967295:0|4294967295:0
-u 4294967295:4294967295|4294967295:4294967295
-u -1:65534|-1:65534
-u 99999999999999999999:65534|99999999999999999999:65534
-u 4294967296:4294967296|4294967296:4294967296
-u 1000:4294967295|1000:4294967295
-u 0:0|0:0
-u 65534:0|65534:0
-u +65534:65534|+65534:65534
-u 65534:65534x|65534:65534x
-u :65534|:65534
-u root|root
-u -1|no user -1
-u no-such-user|no user no-such-user
-u nobody -u 0:0|nobody, then 0:0
|run as root
TABLE
"$launch" -u ' 65534:65534' /bin/true 2>/dev/null && fail "a leading blank was taken"

# What the caller holds stays with the caller: a root-only file open on
# descriptor 7, SIGINT and SIGQUIT ignored as "&" leaves them, SIGTERM
# blocked.
touch "$work/secret" && chmod 600 "$work/secret"
held() {
    (
        exec 7>>"$work/secret"
        trap '' INT QUIT
        perl -MPOSIX -e 'sigprocmask(SIG_BLOCK, POSIX::SigSet->new(SIGTERM)); exec @ARGV' \
            "$launch" -u nobody "$@"
    )
}
held=$(held /bin/ls /proc/self/fd && held /bin/grep -E '^Sig(Ign|Blk):' /proc/self/status)
[[ $(echo $held) == "0 1 2 3 SigBlk: 0000000000000000 SigIgn: 0000000000000000" ]] ||
    fail "the caller's descriptors or signals reached the program: $(echo $held)"

# A missing program and one that cannot run are told apart, as shells do.
touch "$work/plain" && chmod 644 "$work/plain"
for row in "$work/absent 127" "$work/plain 126"; do
    set -- $row
    said=$("$launch" -u nobody "$1" 2>&1) && status=0 || status=$?
    [[ $status == "$2" && $said == *"cannot run $1"* ]] || fail "$1: status $status, $said"
done
finish "the launcher keeps CAP_NET_BIND_SERVICE only for a port below 1024, and refuses what it cannot drop"
