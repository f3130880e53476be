#!/bin/sh
# The init script in the states that an operator or a board meets, as root
# on a system whose userland is BusyBox alone: natively in a chroot
# (init_test.sh) and on the emulated BusyBox board. Each case leaves the
# relay stopped and the settings as they were.
# Usage: init_cases.sh [UDP6_HOLDER]: a program that holds a UDP port on
# [::], dual-stack, for the held-port case; without it, that case is left
# out and said to be.
script=/etc/init.d/ostrivod
settings=/opt/Ostrivo/etc/settings
bin=/opt/Ostrivo/bin
holder6=$1
cases=0 failures=0

fail() {
	echo "FAIL: $current: $*"
	failures=$((failures + 1))
}
begin() {
	current=$1
	cases=$((cases + 1))
}
# The relay's pid, found by its program as root finds it.
relay() {
	for p in /proc/[0-9]*; do
		[ "$(readlink "$p/exe")" = "$bin/ostrivod" ] && echo "${p#/proc/}"
	done
	true
}
# run ACTION: the script's status in $status, its words in $out.
run() {
	out=$("$script" "$@" 2>&1)
	status=$?
}
# expect STATUS [WORDS]: of the last run.
expect() {
	[ "$status" = "$1" ] || fail "status $status, not $1: $out"
	[ -z "$2" ] || case $out in *"$2"*) ;; *) fail "no \"$2\" in: $out" ;; esac
}
logged() {
	grep -q "$1" /var/log/messages || fail "the system log has no \"$1\""
}
# back: the relay stopped, the settings and the launcher as they were.
back() {
	"$script" stop >/dev/null 2>&1
	[ ! -f "$bin/ostrivod-launch.real" ] || mv "$bin/ostrivod-launch.real" "$bin/ostrivod-launch"
	chmod 755 "$bin/ostrivod"
	cp -p /root/settings.cases "$settings"
	rm -f /etc/default/ostrivod /run/ostrivod.respawn
	[ -z "$(relay)" ] || fail "left running: $(relay)"
	# shellcheck disable=SC2046
	[ -z "$(relay)" ] || kill -KILL $(relay)
}
cp -p "$settings" /root/settings.cases
mkdir -p /etc/default
back

begin "a restart with a settings fault leaves the running relay alone"
run start && expect 0
before=$(relay)
sed -i 's/^MOD_OSTRIVO_PORT=/MOD_OSTRIVO_PORT = /' "$settings"
run restart
expect 6 "MOD_OSTRIVO_PORT is not set"
{ [ -n "$before" ] && [ "$(relay)" = "$before" ]; } || fail "relay $before, now $(relay)"
back

begin "status, as nobody, of a running relay"
run start
out=$("$bin/ostrivod-launch" -u 65534:65534 "$script" status 2>&1)
status=$?
expect 0 "ostrivod is running (pid $(relay))"
back

begin "the relay's user as UID:GID"
echo OSTRIVOD_USER=65534:65534 >/etc/default/ostrivod
run start
expect 0
[ "$(awk '$1 == "Uid:" { print $2 }' "/proc/$(relay)/status")" = 65534 ] || fail "not uid 65534"
back

begin "stop, with the pid file gone"
run start
rm -f /run/ostrivod.pid
run stop
expect 0
[ -z "$(relay)" ] || fail "still running"
back

if [ -n "$holder6" ]; then
	begin "a port held on [::] fails the start with 1, naming the holder"
	"$holder6" 700 &
	held=$!
	sleep 0.5
	run start
	expect 1 "UDP port 700 is in use by udp6_holder (pid $held)"
	kill "$held"
	back
else
	echo "left out: a port held on [::] (no program here holds one)"
fi

begin "a launcher slower than 5 s: a relay, or status 1 and nothing running"
mv "$bin/ostrivod-launch" "$bin/ostrivod-launch.real"
printf '#!/bin/sh\ncase "$*" in *ostrivod-check*) ;; *) sleep 6 ;; esac\nexec %s "$@"\n' \
	"$bin/ostrivod-launch.real" >"$bin/ostrivod-launch"
chmod 755 "$bin/ostrivod-launch"
run start
if [ "$status" = 0 ]; then
	[ -n "$(relay)" ] || fail "status 0, and no relay"
else
	expect 1
	sleep 3
	[ -z "$(relay)" ] || fail "status $status, and a relay came up after"
fi
back

begin "a program that cannot run fails the start with 5"
chmod 644 "$bin/ostrivod"
run start
expect 5 "$bin/ostrivod is there but not executable"
back

begin "a /run that cannot be written is named, and nothing runs"
mount -o remount,ro /run
run start
mount -o remount,rw /run
expect 1 "/run is missing or read-only"
back

begin "the respawn line beside S50: the respawn waits for S50's relay, quietly"
run start
first=$(relay)
"$script" respawn >/tmp/respawn.out 2>&1 &
respawn=$!
# Past the check's ten seconds' wait for a held port.
sleep 12
kill -0 "$respawn" 2>/dev/null || fail "the respawn ended: $(cat /tmp/respawn.out)"
[ ! -s /tmp/respawn.out ] || fail "said: $(cat /tmp/respawn.out)"
[ "$(relay)" = "$first" ] || fail "relay $first, now $(relay)"
kill "$respawn"
back

begin "a missing user under respawn: said once, to the system log too, and waited out"
echo OSTRIVOD_USER=nosuch >/etc/default/ostrivod
"$script" respawn >/tmp/respawn.out 2>&1 &
respawn=$!
sleep 3
kill -0 "$respawn" 2>/dev/null || fail "the respawn ended, for init to run it again at once"
[ "$(grep -c 'no user nosuch' /tmp/respawn.out)" = 1 ] || fail "said: $(cat /tmp/respawn.out)"
logged "ostrivod: no user nosuch"
[ -z "$(relay)" ] || fail "a relay runs"
kill "$respawn"
back

begin "reload and try-restart, which LSB names, are not implemented: 3"
for action in reload try-restart; do
	run "$action"
	expect 3 "$action is not implemented"
done

echo "init script: $cases cases, $failures failed"
[ "$failures" = 0 ]
