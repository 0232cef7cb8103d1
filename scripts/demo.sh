#!/bin/bash
# The demo sandbox: installs what is missing, builds the agent and the stand-ins, then plays the
# three typical roads (a log-in, a guarded setting, an install task) against the real agent on
# private buses and a virtual display, and says what happened at each step.
#   bash scripts/demo.sh [--keep]   (--keep leaves the sandbox open until Ctrl-C)
# Exits 0 when every road went as expected; screenshots and records land in demo-out/, the whole
# output of the installation and the build in demo-out/setup.log.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p demo-out
setup_log=demo-out/setup.log
: > "$setup_log"
bash scripts/install-deps.sh --log "$setup_log"
echo "Building the agent and the stand-ins (output in $setup_log) ..."
bash scripts/build.sh kiv-domain-session-agent domain-server-sim schemas >> "$setup_log" 2>&1 \
  || { tail -n 30 "$setup_log"; echo "The build failed (whole output in $setup_log)."; exit 1; }
echo "Starting the sandbox ..."
exec scripts/with-test-env.sh "$PWD/build/schemas" /usr/bin/python3 scripts/demo-roads.py "$@"
