#!/bin/bash
# Builds the agent and runs every test. Usage: scripts/test.sh [BUILD_DIR] [extra cmake options]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# No wait on a peer holds the thread (and no coroutine shape GCC 12 miscompiles).
bash scripts/check-waits.sh
build=${1:-build}; shift || true
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build"
cd "$build"
# Two programs at a time: each has its own buses, display, roots and (where it mounts) its own
# mount namespace, so they do not meet.
ctest --output-on-failure --timeout 600 -j 2
