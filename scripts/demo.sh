#!/bin/bash
# The demo sandbox: installs what is missing, builds the agent and the stand-ins, then plays the
# three typical roads (a log-in, a guarded setting, an install task) against the real agent on
# private buses and a virtual display, and says what happened at each step.
#   bash scripts/demo.sh [--keep]   (--keep leaves the sandbox open until Ctrl-C)
# Exits 0 when every road went as expected; screenshots and records land in demo-out/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
mkdir -p build
echo "Building the agent and the stand-ins ..."
bash scripts/build.sh kiv-domain-session-agent domain-server-sim schemas > build/demo-build.log 2>&1 \
  || { tail -n 30 build/demo-build.log; echo "The build failed (whole output in build/demo-build.log)."; exit 1; }
exec scripts/with-test-env.sh "$PWD/build/schemas" /usr/bin/python3 scripts/demo-roads.py "$@"
