#!/usr/bin/env bash
# The README's run command: installs what is missing, builds, and shows what can be run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
echo
echo "Built programs (build/bin):"
ls -1 build/bin
