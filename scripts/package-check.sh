#!/bin/bash
# Checks the Debian package: lintian (no errors), then installs it on this machine, checks what
# it put there (program, autostart entry, compiled settings schema, a log that two session users'
# agents append to), removes it and purges it, checking what is left after each step.
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
schema=/usr/share/glib-2.0/schemas/com.kiv.domain.gschema.xml
logdir=/var/log/kiv-domain-client
logfile=$logdir/$package.log
hello='main:hello session agent!'

fail() { echo "package-check: FAIL: $*" >&2; exit 1; }
ok() { echo "package-check: ok: $*"; }
status() { dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true; }
mode_owner() { stat -c '%a %U:%G' "$1"; }
expect_mode() {  # $1 path, $2 "mode user:group"
    [ -e "$1" ] || fail "$1 is missing"
    [ "$(mode_owner "$1")" = "$2" ] || fail "$1 is $(mode_owner "$1"), expected $2"
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

echo "== lintian $deb"
lintian --allow-root --fail-on error --display-level ">=info" "$deb" || fail "lintian reports errors"
ok "lintian: no errors"

case "$(status)" in
    ""|un*|pn*) ;;
    *) fail "$package is already installed ($(status)); this check does not touch an existing installation" ;;
esac
check_dir=$(mktemp -d /tmp/kiv-package-check.XXXXXX)
chmod 0755 "$check_dir"
cleanup() {
    case "$(status)" in ""|un*|pn*) ;; *) dpkg --purge "$package" >/dev/null 2>&1 || true ;; esac
    rm -rf "$check_dir"
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
expect_mode "$logdir" "755 root:root"
expect_mode "$logfile" "666 root:root"
[ -f "$logfile" ] && [ ! -L "$logfile" ] || fail "$logfile is not a plain file"
ok "installed files, compiled schema, log folder and log file"

# Two session users, neither of them root, start the installed program one after the other on
# private buses; both agents' start lines must reach the one log file.
run_agents() {  # runs inside with-test-env.sh
    local lines user
    lines=$(grep -cF "$hello" "$logfile")
    for user in nobody daemon; do
        local home=$check_dir/home-$user
        mkdir -p "$home/runtime" "$home/tmp"
        chmod 0700 "$home/runtime"
        chown -R "$user:" "$home"
        setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups \
            env HOME="$home" XDG_RUNTIME_DIR="$home/runtime" XDG_CONFIG_HOME="$home" TMPDIR="$home/tmp" \
            "$program" > "$home/agent.out" 2>&1 &
        local pid=$!
        lines=$((lines + 1))
        local i
        for i in $(seq 200); do
            [ "$(grep -cF "$hello" "$logfile")" -ge "$lines" ] && break
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        [ "$(grep -cF "$hello" "$logfile")" -ge "$lines" ] || {
            cat "$home/agent.out" >&2
            fail "the agent of user $user did not write its start line to $logfile"
        }
    done
}
export -f run_agents fail
export check_dir program logfile hello
scripts/with-test-env.sh /usr/share/glib-2.0/schemas bash -c run_agents
expect_mode "$logfile" "666 root:root"
ok "the agents of two session users appended to $logfile"

echo "== dpkg -r"
dpkg -r "$package"
[ "$(status)" = "rc " ] || fail "status after removal is '$(status)'"
[ ! -e "$program" ] || fail "$program is still there"
[ ! -e "$schema" ] || fail "$schema is still there"
! schema_installed || fail "com.kiv.domain is still in the compiled schemas"
[ -e "$autostart" ] || fail "the autostart entry (a configuration file) went with the removal"
[ -f "$logfile" ] || fail "the log went with the removal"
ok "removed; configuration and log kept"

echo "== dpkg --purge"
dpkg --purge "$package"
case "$(status)" in ""|un*|pn*) ;; *) fail "status after purge is '$(status)'" ;; esac
[ ! -e "$autostart" ] || fail "the autostart entry is still there"
[ ! -e "$logfile" ] || fail "the log is still there"
[ ! -e "$logdir" ] || [ -n "$(ls -A "$logdir")" ] || fail "the empty log folder is still there"
ok "purged"
