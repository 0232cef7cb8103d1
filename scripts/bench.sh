#!/bin/bash
# Builds and runs the benchmarks in a private environment and prints their tables.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build >/dev/null
env_run() { scripts/with-test-env.sh "$PWD/build/schemas" "$@"; }
env_run build/bench/bench_startup build/kiv-domain-session-agent build/bench/bench-minimal-qt 20
