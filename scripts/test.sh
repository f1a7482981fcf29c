#!/usr/bin/env bash
# The README's test command: installs what is missing, checks that every source file is
# formatted, builds, runs the whole suite (the layering check included); then
# builds everything again with clang under AddressSanitizer and UndefinedBehaviorSanitizer,
# runs the suite there too, and runs each libFuzzer target for a bounded time.
# TARVELO_QUICK=1 stops after the first stage.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
scripts/install-deps.sh
scripts/check-format.sh
scripts/build.sh
(cd build && ctest --output-on-failure -j "$jobs")

# Still the first stage: the Debian package, built, judged by lintian, unpacked and run with
# the unpacked programs; never installed here.
echo "== package =="
scripts/check-package.sh

[ "${TARVELO_QUICK:-0}" = 1 ] && exit 0

echo "== sanitizers and fuzzing =="
CC=clang CXX=clang++ cmake -S . -B build-check -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVELO_WERROR=ON \
    -DTARVELO_SANITIZE=ON -DTARVELO_FUZZ=ON -DTARVELO_BENCH=OFF -DTARVELO_FUZZ_SECONDS="${TARVELO_FUZZ_SECONDS:-15}" >/dev/null
cmake --build build-check -j "$jobs"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# (The desktop tests run a real X desktop once, in the first stage.)
(cd build-check && ctest --output-on-failure -j "$jobs" -LE 'fuzz|soak|desktop')
(cd build-check && ctest --output-on-failure -j "$jobs" -L fuzz)
