#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Proves the installed service the way an operator runs it, under a booted
# systemd: boots a Debian 12 root with `systemd-nspawn --boot` in a network
# namespace of its own (loopback only, so no port is shared with this machine)
# and, inside it:
#   installs zelk and zelk-tools with apt; the unit is enabled and stays stopped
#   points /etc/zelk/Trelvane.ini at zelk-rewind-sim (run as a transient unit)
#     and starts zelk: READY, with a STATUS naming the server
#   the status page answers on its port
#   a call from zelk-partner crosses both ways (the simulator echoes it)
#   `systemctl reload` reopens the log file
#   after a SIGKILL systemd restarts it (RestartSec=1 by a drop-in of the check)
#   `systemctl stop` ends it: status 0 in 2 s (its pause after the close packet)
#     and at most a second more
#   systemd-analyze security of both units
#   two bridges of the template zelk@.service, each with its own simulator,
#     carry a call each at the same time; logrotate rotates both
#   a third one whose RXPort is taken by the first is refused with one error
#     line naming the port and the key, and the first carries on
#   purge (and autoremove) leaves no file behind
# then powers the container off. Prints PASS or FAIL per step.
#   scripts/service-check.sh ROOT LOGDIR zelk_VERSION_ARCH.deb zelk-tools_VERSION_ARCH.deb
# ROOT is a Debian 12 root with systemd, systemd-sysv and dbus and apt's sources
# (scripts/fresh-root-check --service makes one). Before the boot the packages'
# dependencies are downloaded into it with this machine's network, so the booted
# container needs none. The container is not registered with machined (this
# machine's init need not be systemd): the check enters its namespaces with
# nsenter, and uses this machine's curl inside its network namespace.
set -euo pipefail

[ $# -eq 4 ] || { echo "usage: service-check.sh ROOT LOGDIR zelk.deb zelk-tools.deb" >&2; exit 2; }
root=$(readlink -f "$1")
logs=$(readlink -f "$2")
debs=("$(readlink -f "$3")" "$(readlink -f "$4")")
mkdir -p "$logs"
nspawn_pid=""
leader=""
failed=0
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failed=1; }
ms() { date +%s%3N; }

# inside COMMAND: a shell command in the booted container, with a clean environment.
inside() {
  nsenter -t "$leader" -a /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive SYSTEMD_PAGER= bash -c "$1"
}
# prop UNIT PROPERTY: one property of a unit in the container.
prop() { inside "systemctl show -P $2 $1"; }
# wait_until SECONDS COMMAND: runs COMMAND inside every 0.2 s until it succeeds.
wait_until() {
  local end=$(( $(ms) + $1 * 1000 ))
  while [ "$(ms)" -lt "$end" ]; do
    inside "$2" >/dev/null 2>&1 && return 0
    sleep 0.2
  done
  return 1
}
# page PORT: the HTTP status of the status page's / (curl in the container's network).
page() {
  nsenter -t "$leader" -n curl -s -o /dev/null -w '%{http_code}' --max-time 5 "http://127.0.0.1:$1/" || true
}
# call LISTEN DAEMON-PORT FRAMES OUT: a call from the partner tool, echoed back.
call() {
  inside "zelk-partner --listen $1 --daemon 127.0.0.1:$2 --pace 20 --call 2345678:91:$3 --wait 3" >"$4" 2>&1 || true
  grep -q "RX END after $3 voice messages" "$4"
}
# snapshot: every file of the root, without what runs or caches (and systemd's
# stamps of the timers that ran, logrotate's among them).
snapshot() {
  (cd "$root" && find . -xdev \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./run -o -path ./tmp \
     -o -path ./var/log/journal -o -path ./var/cache/apt -o -path ./var/lib/apt/lists -o -path ./root/debs \
     -o -path ./var/lib/systemd/timers \
     \) -prune -o -print | sort)
}
# bridge NAME BMPORT TXPORT RXPORT STATUSPORT USERID: writes /etc/zelk/NAME.ini as an operator would.
bridge() {
  cat >"$root/etc/zelk/$1.ini.new" <<INI
[ZELK]
BMAddress = 127.0.0.1
BMPort = $2
BMPassword = mirab4le
UserID = $6
StartTG = 91
Address = 127.0.0.1
TXPort = $3
RXPort = $4
StatusPort = $5
INI
  inside "chown root:zelk /etc/zelk/$1.ini.new && chmod 0640 /etc/zelk/$1.ini.new && mv /etc/zelk/$1.ini.new /etc/zelk/$1.ini"
}
simulator() {  # PORT: a Rewind simulator that echoes calls, as a transient unit
  inside "systemd-run --quiet --unit=check-sim-$1 /usr/bin/zelk-rewind-sim --port $1 --parrot --parrot-delay 300 --hide-bursts"
}
finish() {
  if [ -n "$nspawn_pid" ] && kill -0 "$nspawn_pid" 2>/dev/null; then
    # SIGTERM makes nspawn shut the container down in order.
    kill -TERM "$nspawn_pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$nspawn_pid" 2>/dev/null || true
  fi
}
trap finish EXIT

echo "== the packages' dependencies into the root (with this machine's network)"
mkdir -p "$root/root/debs"
cp "${debs[@]}" "$root/root/debs/"
systemd-nspawn -q --register=no --keep-unit -D "$root" --pipe /usr/bin/env DEBIAN_FRONTEND=noninteractive \
  apt-get install --download-only -y -q /root/debs/"${debs[0]##*/}" /root/debs/"${debs[1]##*/}" \
  >"$logs/download.txt" 2>&1 || { tail -20 "$logs/download.txt"; echo "FAIL: downloading the dependencies"; exit 1; }
echo "      $(ls "$root"/var/cache/apt/archives/*.deb 2>/dev/null | wc -l) packages"

echo "== boot: systemd-nspawn --boot --private-network"
t=$(ms)
systemd-nspawn --boot --register=no --keep-unit --private-network --console=read-only -D "$root" \
  >"$logs/console.txt" 2>&1 &
nspawn_pid=$!
for _ in $(seq 1 100); do
  leader=$(pgrep -P "$nspawn_pid" | head -1 || true)
  [ -n "$leader" ] && break
  sleep 0.1
done
[ -n "$leader" ] || { cat "$logs/console.txt"; echo "FAIL: the container did not start"; exit 1; }
sleep 0.5
state=$(inside "timeout 90 systemctl is-system-running --wait" 2>/dev/null || true)
case "$state" in
  running) pass "booted: systemd $(inside "systemctl --version | head -1 | cut -d' ' -f2") is running in $(( ($(ms) - t) / 1000 )) s" ;;
  *) fail "the system is '$state'"; inside "systemctl --failed --no-legend" || true ;;
esac
[ "$state" = running ] || [ "$state" = degraded ] || exit 1

before=$(snapshot)
echo "== apt install ${debs[*]##*/}"
inside "apt-get install -y -q /root/debs/*.deb" >"$logs/install.txt" 2>&1 \
  && pass "installed: $(inside "dpkg-query -W -f='\${Package} \${Version}  ' zelk zelk-tools")" \
  || { tail -20 "$logs/install.txt"; fail "apt install"; exit 1; }
enabled=$(inside "systemctl is-enabled zelk" || true)
active=$(inside "systemctl is-active zelk" || true)
[ "$enabled/$active" = "enabled/inactive" ] && pass "zelk.service is enabled and stays stopped until configured" \
  || fail "zelk.service is $enabled and $active after the installation"

echo "== configured for the simulator: start"
simulator 54006
bridge Trelvane 54006 36000 36003 8091 2345601
t=$(ms)
if inside "systemctl start zelk"; then
  wait_until 10 "systemctl show -P StatusText zelk | grep -q 'Logged in to 127.0.0.1:54006'" || true
  status=$(prop zelk StatusText)
  [[ "$status" == *127.0.0.1:54006* ]] \
    && pass "READY in $(( $(ms) - t )) ms ($(prop zelk ActiveState)/$(prop zelk SubState)); STATUS: $status" \
    || fail "STATUS names no server: '$status'"
else
  inside "journalctl -u zelk --no-pager -n 20" || true
  fail "systemctl start zelk"
fi
code=$(page 8091)
[ "$code" = 200 ] && pass "the status page answers on 8091 (HTTP $code)" || fail "the status page on 8091: '$code'"
call 36000 36003 20 "$logs/call.txt" && pass "a call from zelk-partner crossed both ways: 20 frames out, 20 back" \
  || { sed 's/^/      /' "$logs/call.txt" | tail -5; fail "the call did not come back"; }

echo "== systemctl reload reopens the log"
pid=$(prop zelk MainPID)
inside "mv /var/log/zelk/ZELK.log /var/log/zelk/ZELK.log.moved && systemctl reload zelk" || fail "systemctl reload zelk"
call 36000 36003 5 "$logs/call-reload.txt" || true
if [ "$(prop zelk MainPID)" = "$pid" ] && inside "grep -q . /var/log/zelk/ZELK.log"; then
  pass "same process $pid; a fresh ZELK.log ($(inside "stat -c '%U:%G %a' /var/log/zelk/ZELK.log"), $(inside "wc -l </var/log/zelk/ZELK.log") lines)"
else
  fail "no fresh log after reload (main process $pid, now $(prop zelk MainPID))"
fi
inside "rm -f /var/log/zelk/ZELK.log.moved"

echo "== SIGKILL: systemd restarts it (RestartSec=1 for the check)"
mkdir -p "$root/etc/systemd/system/zelk.service.d"
printf '[Service]\nRestartSec=1\n' >"$root/etc/systemd/system/zelk.service.d/check.conf"
inside "systemctl daemon-reload"
pid=$(prop zelk MainPID)
t=$(ms)
inside "systemctl kill --signal=KILL --kill-whom=main zelk" || fail "systemctl kill"
if wait_until 15 "[ \"\$(systemctl show -P MainPID zelk)\" != 0 ] && [ \"\$(systemctl show -P MainPID zelk)\" != $pid ] && systemctl is-active -q zelk"; then
  pass "restarted in $(( $(ms) - t )) ms: process $pid, then $(prop zelk MainPID); NRestarts=$(prop zelk NRestarts)"
else
  fail "not restarted after SIGKILL ($(prop zelk ActiveState), NRestarts=$(prop zelk NRestarts))"
fi
wait_until 10 "systemctl show -P StatusText zelk | grep -q 'Logged in'" || true

echo "== systemctl stop"
t=$(ms)
inside "systemctl stop zelk" || fail "systemctl stop zelk"
took=$(( $(ms) - t ))
result="$(prop zelk Result) $(prop zelk ExecMainCode)/$(prop zelk ExecMainStatus)"
# The daemon sends its close packet and pauses 2 s before it exits by itself;
# a second more is left for a loaded machine (systemd would kill it after 10 s).
[ "$took" -le 3000 ] && [ "$result" = "success 1/0" ] && pass "stopped in $took ms, status 0" \
  || fail "stop took $took ms, result $result"
inside "journalctl -u zelk --no-pager -o cat" >"$logs/zelk-journal.txt" 2>&1 || true

echo "== systemd-analyze security"
for unit in zelk.service zelk@ts1.service; do
  line=$(inside "systemd-analyze security $unit --no-pager" | grep -i 'overall exposure' || true)
  [ -n "$line" ] && pass "$unit: ${line#*→ }" || fail "systemd-analyze security $unit"
done

echo "== two bridges of the template: zelk@ts1, zelk@ts2"
simulator 54007
simulator 54008
bridge ts1 54007 36010 36013 8092 2345611
bridge ts2 54008 36020 36023 8093 2345612
inside "systemctl enable --now zelk@ts1 zelk@ts2" >"$logs/enable.txt" 2>&1 || fail "systemctl enable --now zelk@ts1 zelk@ts2"
for n in 1 2; do
  wait_until 10 "systemctl show -P StatusText zelk@ts$n | grep -q 'Logged in to 127.0.0.1:5400$((6 + n))'" \
    && pass "zelk@ts$n: $(prop "zelk@ts$n" ActiveState); STATUS: $(prop "zelk@ts$n" StatusText)" \
    || fail "zelk@ts$n: $(prop "zelk@ts$n" ActiveState), STATUS '$(prop "zelk@ts$n" StatusText)'"
  dir=$(inside "stat -c '%U:%G %a' /var/log/zelk/ts$n" || true)
  [ "$dir" = "zelk:adm 750" ] && inside "grep -q . /var/log/zelk/ts$n/ZELK.log" \
    && pass "zelk@ts$n logs to /var/log/zelk/ts$n/ZELK.log ($dir)" || fail "zelk@ts$n's log directory: '$dir'"
done
pages="$(page 8092) $(page 8093)"
[ "$pages" = "200 200" ] && pass "their pages answer on 8092 and 8093" || fail "their pages: $pages"
call 36010 36013 20 "$logs/call-ts1.txt" & one=$!
call 36020 36023 20 "$logs/call-ts2.txt" & two=$!
wait "$one" && pass "zelk@ts1 carried its call both ways (20 and 20) ..." || fail "zelk@ts1's call"
wait "$two" && pass "... while zelk@ts2 carried its own (20 and 20)" || fail "zelk@ts2's call"

echo "== a third bridge on zelk@ts1's RXPort 36013"
simulator 54009
bridge ts3 54009 36030 36013 8094 2345613
pid=$(prop zelk@ts1 MainPID)
inside "systemctl start zelk@ts3" >/dev/null 2>&1 || true
sleep 3
inside "journalctl -u zelk@ts3 --no-pager -o cat" >"$logs/ts3-journal.txt" 2>&1 || true
# The error lines (the check's list of settings names the port too).
errors=$(grep '^E: .*36013' "$logs/ts3-journal.txt" || true)
if [ "$(printf '%s' "$errors" | grep -c .)" = 1 ] && [[ "$errors" == *RXPort* ]]; then
  pass "refused with one line: $errors"
else
  fail "zelk@ts3's error lines on port 36013 (wanted one, naming RXPort):"
  printf '%s\n' "${errors:-(none)}" | sed 's/^/      /'
fi
echo "      zelk@ts3: $(prop zelk@ts3 ActiveState) ($(prop zelk@ts3 Result), status $(prop zelk@ts3 ExecMainStatus))"
[ "$(prop zelk@ts1 MainPID)" = "$pid" ] && call 36010 36013 20 "$logs/call-ts1-after.txt" \
  && pass "zelk@ts1 carries on: same process $pid, a call both ways" || fail "zelk@ts1 after the collision"

echo "== logrotate -f /etc/logrotate.d/zelk rotates both bridges"
pids="$(prop zelk@ts1 MainPID) $(prop zelk@ts2 MainPID)"
inside "logrotate -f /etc/logrotate.d/zelk" >"$logs/logrotate.txt" 2>&1 || fail "logrotate"
sleep 0.3
call 36010 36013 5 "$logs/call-ts1-rotated.txt" || true
call 36020 36023 5 "$logs/call-ts2-rotated.txt" || true
for n in 1 2; do
  inside "[ -s /var/log/zelk/ts$n/ZELK.log.1 ] && grep -q . /var/log/zelk/ts$n/ZELK.log" \
    && pass "zelk@ts$n: ZELK.log.1 and a fresh ZELK.log ($(inside "stat -c '%U:%G %a' /var/log/zelk/ts$n/ZELK.log"))" \
    || fail "zelk@ts$n's log was not rotated and reopened"
done
[ "$(prop zelk@ts1 MainPID) $(prop zelk@ts2 MainPID)" = "$pids" ] || fail "a bridge was restarted by the rotation"

echo "== an upgrade (the same version again) restarts the running bridges"
inside "systemctl stop zelk@ts3" >/dev/null 2>&1 || true
inside "apt-get install --reinstall -y -q /root/debs/*.deb" >"$logs/reinstall.txt" 2>&1 \
  || { tail -20 "$logs/reinstall.txt"; fail "apt install --reinstall"; }
now="$(prop zelk@ts1 MainPID) $(prop zelk@ts2 MainPID)"
read -r old1 old2 <<<"$pids"; read -r new1 new2 <<<"$now"
[ "$(prop zelk ActiveState)" = inactive ] && [ "$new1" != 0 ] && [ "$new2" != 0 ] && [ "$new1" != "$old1" ] \
  && [ "$new2" != "$old2" ] \
  && pass "zelk@ts1 and zelk@ts2 restarted (processes $pids, then $now); zelk.service stays stopped" \
  || fail "after the upgrade: zelk.service $(prop zelk ActiveState), bridges $pids, then $now"

echo "== apt purge zelk zelk-tools while the bridges run (disabled); apt autoremove --purge"
inside "systemctl disable zelk@ts1 zelk@ts2; systemctl stop 'check-sim-*'" >/dev/null 2>&1 || true
rm -rf "$root/etc/systemd/system/zelk.service.d" "$root"/etc/zelk/ts[123].ini
inside "systemctl daemon-reload" || true
inside "apt-get purge -y -q zelk zelk-tools && apt-get autoremove --purge -y -q" >"$logs/purge.txt" 2>&1 \
  || { tail -20 "$logs/purge.txt"; fail "purge"; }
running=$(inside "systemctl list-units --no-legend --plain --state=active,activating,reloading 'zelk*'" || true)
[ -z "$running" ] && pass "the removal stopped both bridges" || fail "still loaded after the removal: $running"
left=$(comm -13 <(echo "$before") <(snapshot))
[ -z "$left" ] && pass "purged: no file left behind (of $(echo "$before" | wc -l) before the installation)" \
  || { fail "files left after the purge:"; echo "$left" | head -20 | sed 's/^/      /'; }
gone=$(comm -23 <(echo "$before") <(snapshot))
[ -z "$gone" ] || { fail "files gone that were there before:"; echo "$gone" | head -20 | sed 's/^/      /'; }

echo "== poweroff"
inside "systemctl poweroff" >/dev/null 2>&1 || true
for _ in $(seq 1 150); do kill -0 "$nspawn_pid" 2>/dev/null || break; sleep 0.2; done
if kill -0 "$nspawn_pid" 2>/dev/null; then fail "the container did not power off within 30 s"
else wait "$nspawn_pid" 2>/dev/null || true; pass "powered off"; fi
nspawn_pid=""
exit "$failed"
