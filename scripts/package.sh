#!/bin/bash
# Builds the Debian packages from debian/ with dpkg-buildpackage, in a scratch copy of the tree
# (the working tree gets no build output), and leaves them in OUT_DIR: the package, its
# debug symbols (-dbgsym .ddeb), the .changes and .buildinfo, and the source package (.dsc) for
# lintian. The last line printed is the path of the package's .deb.
#   scripts/package.sh [OUT_DIR]   (default build-deb)
set -euo pipefail
cd "$(dirname "$0")/.."
package=kiv-domain-session-agent
out=$(realpath -m "${1:-build-deb}")
version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kiv-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
src=$scratch/$package
mkdir -p "$src" "$out"

# The tree as it stands, committed or not, without what git ignores (build folders, demo output).
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' file; do
            if [ -e "$file" ]; then printf '%s\0' "$file"; fi
        done |
        tar --null --files-from=- -cf - | tar -xf - -C "$src"
else
    tar --exclude='./build*' --exclude=./demo-out -cf - . | tar -xf - -C "$src"
fi

# dh sets HOME to a folder of the build; the compiler cache stays the one of this machine.
if command -v ccache >/dev/null; then
    export CCACHE_DIR=${CCACHE_DIR:-$(ccache -k cache_dir)} CCACHE_BASEDIR=$src
fi

rm -f "$out/${package}"_* "$out/${package}"-dbgsym_*
log=$out/${package}_${version}_${arch}.build
echo "Building the Debian packages (whole output in $log) ..."
if ! (cd "$src" && dpkg-source --build . && flock /tmp/kiv-build.lock dpkg-buildpackage -us -uc -b -J) > "$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "package.sh: the package build failed (whole output in $log)" >&2
    exit 1
fi
mv "$scratch/${package}"_* "$scratch/${package}"-dbgsym_* "$out/"
echo "$out/${package}_${version}_${arch}.deb"
