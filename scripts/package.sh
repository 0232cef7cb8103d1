#!/bin/bash
# Builds the Debian package kiv-domain-session-agent from the tree and prints the path of the
# .deb. The program is built with Debian's hardening flags in a build folder of its own.
#   scripts/package.sh [OUT_DIR]   (default build-deb)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
out=$(realpath -m "${1:-build-deb}")
package=kiv-domain-session-agent
build=$out/cmake
work=$out/work
stage=$work/stage
umask 022

# Debian's flags: optimised, fortified, stack protector, full RELRO. CMake does not read
# CPPFLAGS, so they go with the compiler flags.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CFLAGS="$CPPFLAGS $CFLAGS" CXXFLAGS="$CPPFLAGS $CXXFLAGS" LDFLAGS
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None >/dev/null
flock /tmp/kiv-build.lock cmake --build "$build" --target "$package" >/dev/null

rm -rf "$work"
mkdir -p "$stage/DEBIAN" "$work/debian"
cp packaging/debian/control packaging/debian/changelog "$work/debian/"

# The program and the settings schema where the build installs them.
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$stage/usr/share/kiv-domain-client/$package"
install -D -m 0644 packaging/$package.desktop "$stage/etc/xdg/autostart/$package.desktop"
install -D -m 0644 packaging/debian/copyright "$stage/usr/share/doc/$package/copyright"
gzip -9n < packaging/debian/changelog > "$stage/usr/share/doc/$package/changelog.gz"
install -D -m 0644 packaging/debian/lintian-overrides "$stage/usr/share/lintian/overrides/$package"
install -m 0755 packaging/debian/postinst packaging/debian/postrm "$stage/DEBIAN/"
install -m 0644 packaging/debian/conffiles "$stage/DEBIAN/"
(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum > DEBIAN/md5sums)

# Depends from the libraries the program links (shlibs), then the control file. Both tools
# read debian/ of the current folder.
cd "$work"
dpkg-shlibdeps -Tdebian/substvars "$stage/usr/share/kiv-domain-client/$package"
dpkg-gencontrol -p"$package" -Tdebian/substvars -fdebian/files -P"$stage"
version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -S Timestamp)
export SOURCE_DATE_EPOCH
deb=$out/${package}_${version}_${arch}.deb
dpkg-deb --root-owner-group --build "$stage" "$deb" >/dev/null
cd "$top"
echo "$deb"
