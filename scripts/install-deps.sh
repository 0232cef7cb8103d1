#!/bin/bash
# Installs every Debian package that building, testing, the demo and the package need.
set -euo pipefail
PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config qtbase5-dev qtbase5-dev-tools libgsettings-qt-dev libglib2.0-dev
  libglib2.0-bin libcpp-httplib-dev libssl-dev
  # tests and demo: private buses, stand-ins, sandbox, displays (two monitors: Xephyr), X tools, fonts,
  # desktop schemas, screenshots
  dbus-daemon python3 python3-dbusmock python3-dbus python3-gi bubblewrap xvfb xauth xdotool x11-utils
  xserver-xephyr
  fonts-wqy-microhei gsettings-desktop-schemas procps imagemagick
  # the Debian package
  dpkg-dev lintian
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
