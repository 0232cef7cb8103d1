#!/bin/bash
# Installs every Debian package that building, testing, the demo and the package need.
#   scripts/install-deps.sh [--log FILE]
# With --log it says in one line how many packages it installs and appends apt's whole output to
# FILE (shown only when apt fails); without, apt's output goes to the terminal.
set -euo pipefail
log=
if [ "${1:-}" = --log ]; then log=$2; fi
PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config qtbase5-dev qtbase5-dev-tools libgsettings-qt-dev libglib2.0-dev
  libglib2.0-bin libcpp-httplib-dev libssl-dev qcoro-qt5-dev qttools5-dev qttools5-dev-tools
  # tests: Qt's platform accessibility switch (private headers)
  qtbase5-private-dev
  # tests and demo: private buses, stand-ins, sandbox, displays (two monitors: Xephyr), X tools, fonts,
  # desktop schemas, screenshots
  dbus-daemon python3 python3-dbusmock python3-dbus python3-gi bubblewrap xvfb xauth xdotool x11-utils
  xserver-xephyr
  # the real session manager, a screen reader's interface (AT-SPI), a window manager
  gnome-session-bin at-spi2-core python3-pyatspi openbox
  fonts-wqy-microhei gsettings-desktop-schemas procps imagemagick
  # the Debian package: its build (dpkg-buildpackage, debhelper) and its check (lintian, the
  # log rotation, the autostart entry's and the user unit's validators)
  build-essential dpkg-dev debhelper lintian logrotate desktop-file-utils systemd
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} = 0 ]; then
  [ -z "$log" ] || echo "The ${#PACKAGES[@]} packages it needs are installed."
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt_install() {
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
if [ -z "$log" ]; then
  apt_install
  exit 0
fi
what="${#missing[@]} packages"
[ ${#missing[@]} != 1 ] || what="1 package"
echo "Installing $what (apt's output in $log) ..."
if ! apt_install >> "$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "Installing the packages failed (apt's whole output in $log)." >&2
  exit 1
fi
