#!/bin/bash
# Runs inside with-test-env.sh: private buses are up. Starts the agent in its bwrap sandbox with
# a temporary root for its fixed paths and tells what happened.
set -euo pipefail
keep=0; [ "${1:-}" = "--keep" ] && keep=1
top=$PWD
out=$top/demo-out; rm -rf "$out"; mkdir -p "$out"
root=$(mktemp -d /tmp/kiv-demo-root.XXXXXX)
mkdir -p "$root"/usr/share/kiv-domain-client/{salt,tasks} "$root"/var/log/kiv-domain-client "$root"/etc/kiv "$root"/etc/kiv-security
agent_pid=
cleanup() { [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null; rm -rf "$root"; }
trap cleanup EXIT

say() { printf '\n== %s\n' "$*"; }

say "Starting the session agent in its sandbox"
bwrap --bind / / --dev /dev --proc /proc --unshare-user --uid 1000 --gid 1000 --die-with-parent \
  --bind "$root/usr/share/kiv-domain-client" /usr/share/kiv-domain-client \
  --bind "$root/var/log/kiv-domain-client" /var/log/kiv-domain-client \
  --bind "$root/etc/kiv" /etc/kiv --bind "$root/etc/kiv-security" /etc/kiv-security \
  --setenv HOME /home/alice --setenv TMPDIR "$root/tmp" \
  -- "$top/build/kiv-domain-session-agent" > "$out/agent.out" 2>&1 &
agent_pid=$!
for _ in $(seq 100); do
  gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus -m org.freedesktop.DBus.NameHasOwner com.kiv.domain.session 2>/dev/null | grep -q true && break
  sleep 0.1
done
log=$root/var/log/kiv-domain-client/kiv-domain-session-agent.log
echo "The agent owns com.kiv.domain.session: $(gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus -m org.freedesktop.DBus.NameHasOwner com.kiv.domain.session)"
echo "Its first log line: $(head -n 1 "$log")"

if [ $keep = 1 ]; then
  say "The sandbox stays open. In another shell:"
  echo "export DBUS_SESSION_BUS_ADDRESS='$DBUS_SESSION_BUS_ADDRESS'"
  echo "export DBUS_SYSTEM_BUS_ADDRESS='$DBUS_SYSTEM_BUS_ADDRESS'"
  echo "Log: $log   (Ctrl-C ends the sandbox)"
  wait "$agent_pid" || true
fi
cp "$log" "$out/agent.log"
say "Done; the agent's log is in demo-out/agent.log"
