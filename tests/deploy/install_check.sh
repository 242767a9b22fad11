#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Proves the Debian packages on this machine: installs zelk and zelk-tools with
# apt, checks the files, their owners and modes, the conffiles and the enabled
# but stopped unit, runs the unit's own command lines (ExecStartPre=, ExecStart=)
# the way the unit would (as its user, with its environment and working
# directory; systemd itself need not run) against the installed Rewind
# simulator, places a call through it with the installed partner tool, rotates
# the log with logrotate and by hand (SIGHUP), stops it with SIGTERM, and purges
# both packages again, whatever happened.
#   tests/deploy/install_check.sh zelk_VERSION_ARCH.deb zelk-tools_VERSION_ARCH.deb
# Needs root (or sudo) and the loopback UDP ports of the shipped configuration
# (54006 for the simulator, 36000 and 36003 for the local link). Installs what
# the check itself uses (systemd-analyze, logrotate, ss, pgrep) when missing.
set -euo pipefail

[ $# -ge 1 ] || { echo "usage: install_check.sh zelk_VERSION_ARCH.deb [zelk-tools_VERSION_ARCH.deb]" >&2; exit 2; }
debs=()
for deb in "$@"; do debs+=("$(readlink -f "$deb")"); done
sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
for p in zelk zelk-tools; do
  if installed "$p"; then
    echo "install_check: $p is already installed here; not touching it" >&2
    exit 1
  fi
done

# What the check uses, not what the packages need.
needs=()
for pair in systemd:systemd-analyze logrotate:logrotate iproute2:ss procps:pgrep; do
  command -v "${pair#*:}" >/dev/null 2>&1 || needs+=("${pair%%:*}")
done
if [ ${#needs[@]} -gt 0 ]; then
  echo "== installing what the check uses: ${needs[*]}"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${needs[@]}" >/dev/null
fi

# A port taken by a test run elsewhere on the machine is waited for, 30 s at most.
for port in 54006 36000 36003; do
  for _ in $(seq 1 30); do ss -Hlun "sport = :$port" | grep -q . || break; sleep 1; done
  if ss -Hlun "sport = :$port" | grep -q .; then
    echo "install_check: UDP port $port is in use; the shipped configuration needs it" >&2
    exit 1
  fi
done

work=$(mktemp -d /tmp/zelk-install-check-XXXXXX)
pids=()
failed=0
fail() { echo "FAIL: $*" >&2; failed=1; }
pass() { echo "ok:   $*"; }
expect_mode() {  # PATH MODE OWNER:GROUP
  local got
  got=$(stat -c '%a %U:%G' "$1" 2>/dev/null || echo missing)
  [ "$got" = "$2 $3" ] && pass "$1 is $2 $3" || fail "$1 is '$got', not '$2 $3'"
}
cleanup() {
  for pid in "${pids[@]}"; do $sudo kill -KILL "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  for p in zelk zelk-tools; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed\|config-files'; then
      $sudo apt-get remove --purge -y -qq "$p" >/dev/null 2>&1 || true
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

echo "== apt install ${debs[*]##*/}"
$sudo apt-get install -y -qq --no-install-recommends "${debs[@]}" >"$work/apt.txt" 2>&1 || { cat "$work/apt.txt"; exit 1; }
for p in zelk zelk-tools; do
  installed "$p" && pass "$p installed ($(dpkg-query -W -f='${Version} ${Architecture}' "$p"))" || fail "$p is not installed"
done
echo "      zelk depends: $(dpkg-query -W -f='${Depends}' zelk)"
grep -q "edit /etc/zelk/Trelvane.ini" "$work/apt.txt" && pass "the installation says what to edit" \
  || fail "no hint to edit the configuration"

unit=$(dpkg -L zelk | grep '/systemd/system/zelk.service$' | head -1)
template=${unit%/*}/zelk@.service
for f in /usr/bin/zelk /etc/zelk/Trelvane.ini /etc/logrotate.d/zelk "$unit" "$template" \
         /usr/share/man/man8/zelk.8.gz /usr/share/man/man5/Trelvane.ini.5.gz /usr/share/doc/zelk/copyright \
         /usr/bin/zelk-rewind-sim /usr/bin/zelk-partner /usr/bin/zelk-road /usr/share/man/man1/zelk-rewind-sim.1.gz \
         /usr/share/man/man1/zelk-partner.1.gz /usr/share/man/man1/zelk-road.1.gz /usr/share/doc/zelk-tools/copyright; do
  [ -e "$f" ] && pass "$f" || fail "$f is missing"
done
conffiles=$(dpkg-query -W -f='${Conffiles}' zelk | awk 'NF {print $1}' | sort | tr '\n' ' ')
[ "$conffiles" = "/etc/logrotate.d/zelk /etc/zelk/Trelvane.ini " ] && pass "conffiles: $conffiles" \
  || fail "conffiles are '$conffiles'"
getent passwd zelk >/dev/null && pass "system user zelk ($(getent passwd zelk | cut -d: -f3,6,7))" || fail "no user zelk"

echo "== private by default"
expect_mode /etc/zelk/Trelvane.ini 640 root:zelk
expect_mode /var/log/zelk 750 zelk:adm
expect_mode /var/log/zelk/ZELK.log 640 zelk:adm
expect_mode /var/lib/zelk 755 root:root

echo "== installing again changes nothing (the user, the modes)"
uid=$(id -u zelk)
$sudo apt-get install --reinstall -y -qq --no-install-recommends "${debs[@]}" >"$work/reinstall.txt" 2>&1 \
  && pass "reinstalled" || { cat "$work/reinstall.txt"; fail "reinstalling failed"; }
[ "$(id -u zelk)" = "$uid" ] && pass "user zelk kept its ID $uid" || fail "user zelk changed"
expect_mode /etc/zelk/Trelvane.ini 640 root:zelk
expect_mode /var/log/zelk 750 zelk:adm

echo "== the unit"
[ -L /etc/systemd/system/multi-user.target.wants/zelk.service ] && pass "enabled (multi-user.target.wants)" \
  || fail "not enabled"
compgen -G "/etc/systemd/system/*.wants/zelk@*" >/dev/null && fail "an instance of the template is enabled" \
  || pass "the template is not enabled"
pgrep -u zelk -x zelk >/dev/null && fail "zelk runs already: the installation started it" || pass "not started"
systemd-analyze verify "$unit" "$template" >"$work/verify.txt" 2>&1 && pass "systemd-analyze verify accepts both units" \
  || { sed 's/^/      /' "$work/verify.txt"; fail "systemd-analyze verify rejects a unit"; }
logrotate -d /etc/logrotate.d/zelk >"$work/logrotate.txt" 2>&1 && pass "logrotate accepts the snippet" \
  || { cat "$work/logrotate.txt"; fail "logrotate rejects the snippet"; }

# The unit's own lines, so what runs here is what systemd would run.
value() { sed -n "s/^$1=//p" "$unit"; }
unit_env=$(value Environment | tr '\n' ' ')
unit_user=$(value User)
unit_dir=$(value WorkingDirectory)
# as_unit COMMAND...: as the unit's user, in its directory, with only its environment.
# The umask is 0, looser than any unit's, to show the log file is 0640 regardless.
as_unit() {
  # shellcheck disable=SC2086
  (cd "$unit_dir" && umask 0000 && exec $sudo setpriv --reuid="$unit_user" --regid="$unit_user" --init-groups \
     --no-new-privs env -i PATH=/usr/bin:/bin $unit_env "$@")
}
while IFS= read -r pre; do
  [ -n "$pre" ] || continue
  # shellcheck disable=SC2086
  as_unit ${pre#-} >"$work/pre.txt" 2>&1 && pass "ExecStartPre=$pre passes" \
    || { sed 's/^/      /' "$work/pre.txt"; fail "ExecStartPre=$pre fails"; }
done < <(value ExecStartPre)
exec_start=$(value ExecStart)
echo "== the unit's command line: (cd $unit_dir; $unit_env; as $unit_user) $exec_start"

/usr/bin/zelk-rewind-sim --port 54006 --parrot --parrot-delay 300 --hide-bursts >"$work/sim.txt" 2>&1 &
pids+=($!)
sleep 0.3
# shellcheck disable=SC2086
as_unit $exec_start >"$work/zelk.txt" 2>&1 &
zelk_pid=$!
pids+=("$zelk_pid")

log=/var/log/zelk/ZELK.log
for _ in $(seq 1 100); do
  grep -q "Successful connection" "$log" 2>/dev/null && break
  sleep 0.1
done
grep -q "Successful connection" "$log" 2>/dev/null && pass "logged in to the simulator; log file $log" \
  || { cat "$work/zelk.txt"; fail "no login in $log"; }
daemon=$(pgrep -u "$unit_user" -x zelk | head -1 || true)
[ -n "$daemon" ] && pass "zelk runs as $(ps -o user= -p "$daemon") (pid $daemon)" || fail "zelk does not run as $unit_user"

echo "== a call from the partner through the installed daemon, echoed back by the simulator"
/usr/bin/zelk-partner --listen 36000 --daemon 127.0.0.1:36003 --pace 20 --call 2345678:91:20 --wait 3 \
  >"$work/partner.txt" 2>&1 || true
grep -q "RX END after 20 voice messages" "$work/partner.txt" && pass "20 voice messages out and 20 back" \
  || { cat "$work/partner.txt"; fail "the call did not come back"; }

echo "== rotation with the logrotate snippet (its systemctl kill is done by hand: systemd is not running here)"
lines_before=$(wc -l <"$log")
$sudo logrotate -f -s "$work/logrotate.state" /etc/logrotate.d/zelk >"$work/rotate.txt" 2>&1 \
  || { cat "$work/rotate.txt"; fail "logrotate failed"; }
[ -n "$daemon" ] && $sudo kill -HUP "$daemon"
sleep 0.2
[ -n "$daemon" ] && kill -0 "$daemon" 2>/dev/null && pass "still running after SIGHUP" || fail "gone after SIGHUP"
[ "$(wc -l <"$log.1" 2>/dev/null || echo 0)" -ge "$lines_before" ] && pass "the old lines are in $log.1" \
  || fail "no $log.1 with the old lines"
expect_mode "$log" 640 zelk:adm

echo "== the log moved away by hand: SIGHUP, and the daemon makes a fresh file (umask 0)"
$sudo mv "$log" "$log.moved"
[ -n "$daemon" ] && $sudo kill -HUP "$daemon"
sleep 0.2
[ -n "$daemon" ] && $sudo kill -TERM "$daemon"
code=""
for _ in $(seq 1 50); do
  if ! kill -0 "$zelk_pid" 2>/dev/null; then wait "$zelk_pid" && code=0 || code=$?; break; fi
  sleep 0.1
done
[ "$code" = 0 ] && pass "SIGTERM ended it with status 0" || fail "exit status after SIGTERM: '${code:-still running}'"
grep -q "exitApp" "$log" 2>/dev/null && pass "the lines after SIGHUP are in a fresh $log" \
  || fail "no fresh log file after SIGHUP"
expect_mode "$log" 640 zelk:zelk

echo "== apt-get remove --purge zelk zelk-tools"
$sudo apt-get remove --purge -y -qq zelk zelk-tools >"$work/purge.txt" 2>&1 || { cat "$work/purge.txt"; fail "purge failed"; }
for p in zelk zelk-tools; do dpkg-query -W "$p" >/dev/null 2>&1 && fail "dpkg still knows $p" || pass "$p gone"; done
for f in /usr/bin/zelk /usr/bin/zelk-rewind-sim /etc/zelk "$unit" "$template" /etc/logrotate.d/zelk /var/log/zelk /var/lib/zelk \
         /etc/systemd/system/multi-user.target.wants/zelk.service; do
  [ -e "$f" ] || [ -L "$f" ] && fail "$f is still there" || pass "$f removed"
done
echo "      (the system user zelk stays, as Debian does with system users)"

if [ "$failed" -eq 0 ]; then echo "== install check passed"; else echo "== install check FAILED"; exit 1; fi
