#!/bin/bash
# Builds and runs every benchmark in a private environment and prints their tables, each
# against its reference (the minimal Qt program, a bare HTTP exchange, OpenSSL, plain stdio),
# after the machine they ran on. The figures of the last run are kept in docs/performance.md.
#   scripts/bench.sh [idle seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
idle_seconds=${1:-60}
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
scripts/build.sh benchmarks >/dev/null
env_run() { scripts/with-test-env.sh "$PWD/build/schemas" "$@"; }
# The stand-ins print their call logs; only the tables are wanted here.
table() { grep -Ev '^[0-9]+\.[0-9]+ ' || true; }

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), kernel $(uname -r)"
echo
programs="build/kiv-domain-session-agent build/bench/bench-floor build/bench/bench-minimal-qt"
env_run build/bench/bench_startup $programs 21 2>&1 | table
echo
env_run build/bench/bench_idle $programs "$idle_seconds" 2>&1 | table
echo
env_run build/bench/bench_login 20 2>&1 | table
echo
env_run build/bench/bench_click 50 2>&1 | table
echo
env_run build/bench/bench_policy_revert build/sim/domain-server/domain-server-sim 20 2>&1 | table
echo
env_run build/bench/bench_sm4 2>&1 | table
echo
env_run build/bench/bench_progress 500 2>&1 | table
echo
env_run build/bench/bench_log 20000 2>&1 | table
