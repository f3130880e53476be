#!/usr/bin/env bash
# ostrivod-launch, as root: the user it becomes, and the one capability it
# keeps only for a port below 1024; run again by that user, as a unit runs
# it, it can only lower what it was given.
# Usage: launch_test.sh LAUNCHER
set -euo pipefail
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

said=$("$launch" -u no-such-user /bin/true 2>&1) && fail "an unknown user ran"
[[ $said == *"no such"* || $said == *"no user no-such-user"* ]] || fail "an unknown user: $said"
finish "the launcher keeps CAP_NET_BIND_SERVICE only for a port below 1024"
