#!/usr/bin/env bash
# Builds optimised and prints every performance figure with its target:
# the report (round trip, decoder throughput, idle CPU, memory), then the micro-benchmarks.
# Arguments go to the report, e.g. --cpu-seconds 10.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELO_TESTS=OFF >/dev/null
cmake --build build-release -j "$(nproc)" --target scale_report ecr_bench tarvelo boardsim >/dev/null
status=0
build-release/bin/scale_report "$@" || status=$?
echo
build-release/bin/ecr_bench --benchmark_min_time=0.5
exit $status
