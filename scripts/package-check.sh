#!/bin/bash
# Checks the Debian package: lintian --pedantic (no tag at all on the package, its debug symbols
# and its source), then installs it on this machine and checks what it put there (program,
# autostart entry and systemd user unit, both valid and never both starting an agent, compiled
# settings schema, the D-Bus interface description against the running agent, the log that two
# session users' agents append to, and its rotation while an agent runs), removes it and purges
# it, checking what is left after each step.
# Run as root on a machine where the package is not installed.
#   scripts/package-check.sh [DEB]   (default: the newest build-deb/*.deb)
set -euo pipefail
cd "$(dirname "$0")/.."
package=kiv-domain-session-agent
newest_deb() { local debs; debs=$(ls -t build-deb/${package}_*.deb 2>/dev/null) || true; sed -n 1p <<< "$debs"; }
deb=${1:-$(newest_deb)}
[ -f "$deb" ] || { echo "package-check: no package found; run scripts/package.sh first" >&2; exit 1; }

program=/usr/share/kiv-domain-client/$package
autostart=/etc/xdg/autostart/$package.desktop
unit=/usr/lib/systemd/user/$package.service
unit_link=/etc/systemd/user/graphical-session.target.wants/$package.service
interface=/usr/share/dbus-1/interfaces/com.kiv.domain.agent.xml
rotation=/etc/logrotate.d/$package
schema=/usr/share/glib-2.0/schemas/com.kiv.domain.gschema.xml
logdir=/var/log/kiv-domain-client
logfile=$logdir/$package.log
daemon_log=$logdir/kiv-domain-daemon.log  # the client daemon's, not this package's
hello='main:hello session agent!'

fail() { echo "package-check: FAIL: $*" >&2; exit 1; }
ok() { echo "package-check: ok: $*"; }
status() { dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true; }
mode_owner() { stat -c '%a %U:%G' "$1"; }
expect_mode() {  # $1 path, $2 "mode user:group"
    [ -e "$1" ] || fail "$1 is missing"
    [ "$(mode_owner "$1")" = "$2" ] || fail "$1 is $(mode_owner "$1"), expected $2"
}
# A tool that reports by printing: quiet means valid. $1 what, then the command.
expect_quiet() {
    local what=$1 output
    shift
    output=$("$@" 2>&1) || { echo "$output" >&2; fail "$what failed"; }
    [ -z "$output" ] || { echo "$output" >&2; fail "$what reports problems"; }
}
# The schemas the system sees, without the test environment's own folder.
system_gsettings() { env -u GSETTINGS_SCHEMA_DIR GSETTINGS_BACKEND=memory gsettings "$@"; }
# The whole list is read before it is searched: gsettings writes it line by line, and a "grep -q"
# that stops at the first match would leave gsettings to die of SIGPIPE, which pipefail reports
# as a failure.
schema_installed() {
    local schemas
    schemas=$(system_gsettings list-schemas) || fail "gsettings cannot list the system's schemas"
    grep -qx com.kiv.domain <<< "$schemas"
}

# The .changes beside the package names it and its debug symbols; the source package is linted
# too where package.sh left it.
lint=("$deb")
changes=${deb%.deb}.changes
dsc=${deb%_*.deb}.dsc
[ -f "$changes" ] && lint=("$changes")
[ -f "$dsc" ] && lint+=("$dsc")
echo "== lintian --pedantic ${lint[*]}"
lintian --allow-root --pedantic --display-info --fail-on error,warning,info,pedantic "${lint[@]}" \
    || fail "lintian reports tags"
ok "lintian: no tags"

case "$(status)" in
    ""|un*|pn*) ;;
    *) fail "$package is already installed ($(status)); this check does not touch an existing installation" ;;
esac
check_dir=$(mktemp -d /tmp/kiv-package-check.XXXXXX)
chmod 0755 "$check_dir"
cleanup() {
    case "$(status)" in ""|un*|pn*) ;; *) dpkg --purge "$package" >/dev/null 2>&1 || true ;; esac
    rm -rf "$check_dir"
    [ -z "${made_daemon_log:-}" ] || rm -f "$daemon_log"
}
trap cleanup EXIT

echo "== dpkg -i"
dpkg -i "$deb"
[ "$(status)" = "ii " ] || fail "status after install is '$(status)'"
expect_mode "$program" "755 root:root"
expect_mode "$autostart" "644 root:root"
grep -qx "Exec=$program" "$autostart" || fail "the autostart entry does not start $program"
expect_mode "$schema" "644 root:root"
schema_installed || fail "com.kiv.domain is not in the compiled schemas"
[ "$(system_gsettings get com.kiv.domain notify-timeout)" = 10 ] || fail "com.kiv.domain notify-timeout is not readable"
expect_mode "$interface" "644 root:root"
expect_mode "$rotation" "644 root:root"
expect_mode "$logdir" "755 root:root"
expect_mode "$logfile" "666 root:root"
[ -f "$logfile" ] && [ ! -L "$logfile" ] || fail "$logfile is not a plain file"
ok "installed files, compiled schema, log folder and log file"

# Restart after a crash: by the session manager through the autostart entry, or by systemd through
# the user unit, which the package enables for every user's graphical session.
expect_quiet "desktop-file-validate $autostart" desktop-file-validate "$autostart"
grep -qx "X-GNOME-AutoRestart=true" "$autostart" || fail "the autostart entry does not ask for a restart"
expect_mode "$unit" "644 root:root"
mkdir -m 0700 "$check_dir/runtime"
expect_quiet "systemd-analyze verify $unit" env XDG_RUNTIME_DIR="$check_dir/runtime" systemd-analyze --user verify "$unit"
[ "$(readlink "$unit_link")" = "$unit" ] || fail "$unit is not enabled for the graphical session ($unit_link)"
# Sessions that run their services as systemd units turn autostart entries into units with this
# generator: it must leave the agent's entry to the package's own unit.
generator=/usr/lib/systemd/user-generators/systemd-xdg-autostart-generator
mkdir "$check_dir/generated"
env XDG_CONFIG_DIRS=/etc/xdg XDG_CONFIG_HOME="$check_dir/no-config" "$generator" \
    "$check_dir/generated" "$check_dir/generated" "$check_dir/generated" >/dev/null 2>&1 \
    || fail "$generator failed"
! grep -rqF "$program" "$check_dir/generated" || fail "systemd's autostart generator makes a second unit of the agent"
ok "autostart entry and user unit valid, unit enabled, no second start under systemd"

# logrotate -d reads the configuration and tells what it would do, without doing it.
rotation_plan=$(logrotate -d --state "$check_dir/logrotate.state" "$rotation" 2>&1) \
    || { echo "$rotation_plan" >&2; fail "logrotate -d $rotation failed"; }
! grep -iE '^(error|warning)' <<< "$rotation_plan" | grep -v 'in debug mode does nothing' || fail "logrotate -d $rotation reports problems"
grep -qF "considering log $logfile" <<< "$rotation_plan" || fail "$rotation does not cover $logfile"
# The client daemon's log beside the agent's, with a rotation entry of its own: the two entries
# never claim one file twice, and the agent's rotation (forced below) leaves the daemon's log alone.
[ ! -e "$daemon_log" ] || fail "$daemon_log exists: this check does not touch the daemon's files"
made_daemon_log=yes
echo "daemon line" > "$daemon_log"
printf '%s {\n\tweekly\n\tmissingok\n}\n' "$daemon_log" > "$check_dir/daemon.logrotate"
rotation_plan=$(logrotate -d --state "$check_dir/logrotate.state" "$check_dir/daemon.logrotate" "$rotation" 2>&1) \
    || { echo "$rotation_plan" >&2; fail "logrotate -d with the daemon's entry failed"; }
! grep -iE '^error' <<< "$rotation_plan" || fail "$rotation claims the daemon's log too"
ok "logrotate reads $rotation, beside the daemon's own entry"

# Two session users, neither of them root, start the installed program on private buses. The
# first one's agent runs while its interface is compared with the installed description and the
# log is rotated by force; it must go on writing to the emptied file, and so must the second
# user's agent, started after.
start_agent() {  # $1 user; sets agent_pid
    local home=$check_dir/home-$1
    mkdir -p "$home/runtime" "$home/tmp"
    chmod 0700 "$home/runtime"
    chown -R "$1:" "$home"
    setpriv --reuid="$1" --regid="$(id -g "$1")" --clear-groups \
        env HOME="$home" XDG_RUNTIME_DIR="$home/runtime" XDG_CONFIG_HOME="$home" TMPDIR="$home/tmp" \
        "$program" > "$home/agent.out" 2>&1 &
    agent_pid=$!
}
stop_agent() {
    [ -n "${agent_pid:-}" ] || return 0
    kill "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
    agent_pid=
}
# Waits up to 20 s for a condition (a command) while the agent lives.
wait_while_agent_runs() {
    local i
    for i in $(seq 200); do
        "$@" && return 0
        kill -0 "$agent_pid" 2>/dev/null || break
        sleep 0.1
    done
    "$@"
}
log_has() { grep -qF "$1" "$logfile"; }
agent_exported() {
    gdbus introspect --session --dest com.kiv.domain.session --object-path /com/domain/agent --xml \
        > "$check_dir/introspect.xml" 2>/dev/null && grep -qF com.kiv.domain.agent "$check_dir/introspect.xml"
}
agent_failed() { cat "$check_dir/home-$1/agent.out" >&2; stop_agent; fail "the agent of user $1: $2"; }
run_agents() {  # runs inside with-test-env.sh
    trap stop_agent EXIT  # no agent outlives a failed check
    start_agent nobody
    wait_while_agent_runs log_has "$hello" || agent_failed nobody "no start line in $logfile"
    wait_while_agent_runs agent_exported || agent_failed nobody "its object is not on the session bus"
    /usr/bin/python3 - "$interface" "$check_dir/introspect.xml" <<'PY' || agent_failed nobody "it does not export the installed $interface"
import sys
import xml.etree.ElementTree as ET

def members(path):
    node = ET.parse(path).getroot()
    iface = node.find("interface[@name='com.kiv.domain.agent']")
    return sorted((m.tag, m.get('name'), [(a.get('name'), a.get('type'), a.get('direction', 'out' if m.tag == 'signal' else 'in'))
                                          for a in m.findall('arg')])
                  for m in iface if m.tag in ('method', 'signal', 'property'))

installed, exported = members(sys.argv[1]), members(sys.argv[2])
if installed != exported:
    print('installed:', installed, '\nexported: ', exported, file=sys.stderr)
    sys.exit(1)
PY

    logrotate -f --state "$check_dir/logrotate.state" "$rotation" || agent_failed nobody "logrotate -f failed"
    [ -f "$logfile.1.gz" ] || fail "the forced rotation left no $logfile.1.gz"
    zgrep -qF "$hello" "$logfile.1.gz" || fail "$logfile.1.gz does not hold the lines before the rotation"
    expect_mode "$logfile.1.gz" "644 root:root"
    [ "$(cat "$daemon_log")" = "daemon line" ] && [ -z "$(ls "$daemon_log".* 2>/dev/null)" ] \
        || fail "the rotation touched the daemon's $daemon_log"
    ! log_has "$hello" || fail "$logfile was not emptied by the rotation"
    gdbus call --session --dest com.kiv.domain.session --object-path /com/domain/agent \
        --method com.kiv.domain.agent.showNotify "package check" 1 >/dev/null || agent_failed nobody "showNotify failed"
    wait_while_agent_runs log_has "[session_dbus_interface] [showNotify:" \
        || agent_failed nobody "its Qt messages no longer reach $logfile after the rotation"
    [ "$(tr -d '\000' < "$logfile" | wc -c)" = "$(wc -c < "$logfile")" ] \
        || fail "$logfile has a hole of zero bytes: a writer kept its old offset"
    stop_agent

    start_agent daemon
    wait_while_agent_runs log_has "$hello" || agent_failed daemon "no start line in $logfile after the rotation"
    stop_agent
}
export -f run_agents start_agent stop_agent wait_while_agent_runs log_has agent_exported agent_failed fail expect_mode mode_owner
export check_dir program logfile daemon_log hello interface rotation
scripts/with-test-env.sh /usr/share/glib-2.0/schemas bash -c run_agents
expect_mode "$logfile" "666 root:root"
ok "the agent exports the installed interface description"
ok "the agents of two session users appended to $logfile, before and after a forced rotation"

echo "== dpkg -r"
dpkg -r "$package"
[ "$(status)" = "rc " ] || fail "status after removal is '$(status)'"
for gone in "$program" "$schema" "$interface" "$unit"; do
    [ ! -e "$gone" ] || fail "$gone is still there"
done
! schema_installed || fail "com.kiv.domain is still in the compiled schemas"
[ -e "$autostart" ] || fail "the autostart entry (a configuration file) went with the removal"
[ -e "$rotation" ] || fail "the log rotation (a configuration file) went with the removal"
[ -f "$logfile" ] && [ -f "$logfile.1.gz" ] || fail "the log went with the removal"
ok "removed; configuration and log kept"
rm -f "$daemon_log"

echo "== dpkg --purge"
dpkg --purge "$package"
case "$(status)" in ""|un*|pn*) ;; *) fail "status after purge is '$(status)'" ;; esac
for gone in "$autostart" "$rotation" "$logfile" "$logfile.1.gz"; do
    [ ! -e "$gone" ] || fail "$gone is still there"
done
[ ! -L "$unit_link" ] || fail "the user unit is still enabled ($unit_link)"
[ ! -e "$logdir" ] || [ -n "$(ls -A "$logdir")" ] || fail "the empty log folder is still there"
ok "purged"
