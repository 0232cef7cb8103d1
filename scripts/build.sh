#!/bin/bash
# Incremental build of the developer tree, one build at a time on this machine.
#   scripts/build.sh [ninja targets...]
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
exec flock /tmp/kiv-build.lock cmake --build build ${1:+--target "$@"}
