#!/bin/bash
# Runs one command in a private test environment: its own session bus and a second bus that
# stands for the system bus, an offscreen display, a private runtime and settings folder and the
# build's compiled schemas. Everything started here is stopped when the command ends, even when
# it fails or crashes.
#   with-test-env.sh SCHEMA_DIR COMMAND [ARGS...]
set -u
schema_dir=$1; shift

work=$(mktemp -d /tmp/kiv-test.XXXXXX)
chmod 0755 "$work"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

write_bus_config() {  # $1 config path, $2 bus type
    cat > "$1" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>$2</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <auth>ANONYMOUS</auth>
  <allow_anonymous/>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
}

start_bus() {  # $1 name; prints the address
    write_bus_config "$work/$1.conf" session
    local out
    out=$(dbus-daemon --config-file="$work/$1.conf" --fork --print-address=1 --print-pid=1) || exit 1
    local address pid
    address=$(echo "$out" | sed -n 1p)
    pid=$(echo "$out" | sed -n 2p)
    pids+=("$pid")
    echo "$address" > "$work/$1.address"
}

start_bus session
start_bus system
export DBUS_SESSION_BUS_ADDRESS=$(cat "$work/session.address")
export DBUS_SYSTEM_BUS_ADDRESS=$(cat "$work/system.address")
export DBUS_STARTER_BUS_TYPE=
unset DBUS_STARTER_ADDRESS

mkdir -p "$work/runtime" "$work/config" "$work/tmp"
chmod 0700 "$work/runtime"
export XDG_RUNTIME_DIR=$work/runtime
export XDG_CONFIG_HOME=$work/config
export TMPDIR=$work/tmp
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export GSETTINGS_SCHEMA_DIR=$schema_dir
export GSETTINGS_BACKEND=keyfile
export NO_AT_BRIDGE=1

"$@"
rc=$?
exit $rc
