#!/usr/bin/env bash
# Builds optimised and runs the benchmarks under bench/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELO_TESTS=OFF >/dev/null
cmake --build build-release -j "$(nproc)" --target ecr_bench
build-release/bin/ecr_bench "$@"
