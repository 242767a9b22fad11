#!/usr/bin/env bash
# Proves the Debian package on this machine: installs it with apt, runs the
# command line of its systemd unit the way the unit would (as user zelk, with the
# unit's environment and working directory; systemd itself need not run) against
# the installed Rewind simulator, places a call through it with the installed
# partner tool, checks the log reopening after a rotation (SIGHUP) and the exit on
# SIGTERM, and purges the package again, whatever happened.
#   tests/deploy/install_check.sh path/to/zelk_<version>_<arch>.deb
# Needs root (or sudo) and the loopback UDP ports of the shipped configuration
# (54006 for the simulator, 36000 and 36003 for the local link).
set -euo pipefail

deb=${1:?usage: install_check.sh zelk_VERSION_ARCH.deb}
deb=$(readlink -f "$deb")
sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

if dpkg-query -W -f='${Status}' zelk 2>/dev/null | grep -q 'install ok installed'; then
  echo "install_check: zelk is already installed here; not touching it" >&2
  exit 1
fi
for port in 54006 36000 36003; do
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
cleanup() {
  for pid in "${pids[@]}"; do $sudo kill -KILL "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  if dpkg-query -W -f='${Status}' zelk 2>/dev/null | grep -q 'ok installed\|config-files'; then
    $sudo apt-get remove --purge -y -qq zelk >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== apt install $deb"
$sudo apt-get install -y -qq --no-install-recommends "$deb" >"$work/apt.txt" 2>&1 || { cat "$work/apt.txt"; exit 1; }
status=$(dpkg-query -W -f='${Status}' zelk)
[ "$status" = "install ok installed" ] && pass "installed ($(dpkg-query -W -f='${Version} ${Architecture}' zelk))" \
  || fail "dpkg status is '$status'"
echo "      depends: $(dpkg-query -W -f='${Depends}' zelk)"
for f in /usr/bin/zelk /usr/bin/zelk-rewind-sim /usr/bin/zelk-partner /etc/zelk/Trelvane.ini \
         /usr/lib/systemd/system/zelk.service /etc/logrotate.d/zelk; do
  [ -e "$f" ] && pass "$f" || fail "$f is missing"
done
getent passwd zelk >/dev/null && pass "user zelk exists" || fail "no user zelk"
[ "$(stat -c %U /var/log/zelk 2>/dev/null)" = zelk ] && pass "/var/log/zelk belongs to zelk" \
  || fail "/var/log/zelk is missing or not zelk's"
if command -v systemd-analyze >/dev/null 2>&1; then
  systemd-analyze verify /usr/lib/systemd/system/zelk.service >"$work/verify.txt" 2>&1 \
    && pass "systemd-analyze verify accepts the unit" \
    || { cat "$work/verify.txt"; echo "      (systemd-analyze verify complained; systemd is not PID 1 here)"; }
fi
if command -v logrotate >/dev/null 2>&1; then
  logrotate -d /etc/logrotate.d/zelk >"$work/logrotate.txt" 2>&1 && pass "logrotate accepts the snippet" \
    || { cat "$work/logrotate.txt"; fail "logrotate rejects the snippet"; }
fi

# The unit's own lines, so what runs here is what systemd would run.
unit=/usr/lib/systemd/system/zelk.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
unit_env=$(sed -n 's/^Environment=//p' "$unit")
unit_user=$(sed -n 's/^User=//p' "$unit")
unit_dir=$(sed -n 's/^WorkingDirectory=//p' "$unit")
echo "== the unit's command line: (cd $unit_dir; $unit_env; as $unit_user) $exec_start"

/usr/bin/zelk-rewind-sim --port 54006 --parrot --parrot-delay 300 --hide-bursts >"$work/sim.txt" 2>&1 &
pids+=($!)
sleep 0.3
# shellcheck disable=SC2086
(cd "$unit_dir" && exec $sudo setpriv --reuid="$unit_user" --regid="$unit_user" --init-groups --no-new-privs \
   env -i PATH=/usr/bin:/bin $unit_env $exec_start) >"$work/zelk.txt" 2>&1 &
zelk_pid=$!
pids+=($zelk_pid)

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

echo "== rotation: rename the log, SIGHUP, the next line goes to a fresh file"
$sudo mv "$log" "$log.1"
[ -n "$daemon" ] && $sudo kill -HUP "$daemon"
sleep 0.2
[ -n "$daemon" ] && kill -0 "$daemon" 2>/dev/null && pass "still running after SIGHUP" || fail "gone after SIGHUP"
[ -n "$daemon" ] && $sudo kill -TERM "$daemon"
code=""
for _ in $(seq 1 50); do
  if ! kill -0 "$zelk_pid" 2>/dev/null; then wait "$zelk_pid" && code=0 || code=$?; break; fi
  sleep 0.1
done
[ "$code" = 0 ] && pass "SIGTERM ended it with status 0" || fail "exit status after SIGTERM: '${code:-still running}'"
grep -q "exitApp" "$log" 2>/dev/null && pass "the lines after SIGHUP are in a fresh $log, owned by $(stat -c %U "$log")" \
  || fail "no fresh log file after SIGHUP"

echo "== apt-get remove --purge zelk"
$sudo apt-get remove --purge -y -qq zelk >"$work/purge.txt" 2>&1 || { cat "$work/purge.txt"; fail "purge failed"; }
dpkg-query -W zelk >/dev/null 2>&1 && fail "dpkg still knows zelk" || pass "package gone"
for f in /usr/bin/zelk /etc/zelk /usr/lib/systemd/system/zelk.service /etc/logrotate.d/zelk /var/log/zelk; do
  [ -e "$f" ] && fail "$f is still there" || pass "$f removed"
done
echo "      (the system user zelk stays, as Debian does with system users)"

if [ "$failed" -eq 0 ]; then echo "== install check passed"; else echo "== install check FAILED"; exit 1; fi
