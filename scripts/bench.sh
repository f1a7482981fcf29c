#!/usr/bin/env bash
# Builds optimised and prints every performance figure with its target: the report (the ECR
# round trip quiet, beside busy neighbours and, when this shell has the scheduling grant, with
# it; the display's latency; decoder throughput; idle CPU; memory), then the micro-benchmarks.
# For a machine of its own: the report starts its own busy neighbours, and other work running
# meanwhile makes every figure worse. Arguments go to the report, e.g. --cpu-seconds 10 or
# --stages (where the time went).
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
