#!/bin/bash
# The demo sandbox: builds the agent, starts it against the stand-ins on private buses and
# shows what it does. Usage: scripts/demo.sh [--keep]   (--keep leaves the sandbox open)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
if [ ! -x build/kiv-domain-session-agent ]; then
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build build >/dev/null
exec scripts/with-test-env.sh "$PWD/build/schemas" bash scripts/demo-roads.sh "$@"
