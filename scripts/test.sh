#!/usr/bin/env bash
# The README's test command: installs what is missing, builds, runs the whole suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
cd build
ctest --output-on-failure -j "$(nproc)" "$@"
