#!/usr/bin/env bash
# Builds the two Debian packages into build-package/ and prints their paths, the scale's first
# (the only lines on standard output; the build's own messages go to standard error):
#   sudo apt install ./build-package/tarvelo_*.deb                # the shop's PC
#   sudo apt install ./build-package/tarvelo{,-tools}_*.deb       # with boardsim and kestrin
# The programs are built with Debian's build flags and linked stripped, so the files in
# build-package/ are byte for byte the files the packages ship.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh >&2
# Debian's hardening; -g is left out: the link strips every symbol anyway.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(DEB_CXXFLAGS_MAINT_STRIP=-g dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
ldflags="$(dpkg-buildflags --get LDFLAGS) -s"
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
    -DTARVELO_TESTS=OFF -DTARVELO_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" >&2
cmake --build build-package -j "$(nproc)" >&2
# The compiler's identification (.comment) tells a shop nothing. It goes from the build's own
# files, which the packages then ship as they are.
for f in build-package/bin/{tarvelo,ecrctl,boardsim,kestrin} build-package/lib/*/tarvelo/*.so; do
    objcopy --remove-section=.comment "$f"
done
rm -f build-package/tarvelo_*.deb build-package/tarvelo-tools_*.deb
(cd build-package && cpack -G DEB) >&2
for name in tarvelo tarvelo-tools; do
    deb=(build-package/"$name"_*.deb)
    [ -f "${deb[0]}" ] || { echo "package: no $name package was made" >&2; exit 1; }
    echo "$PWD/${deb[0]}"
done
