#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the programs and the tests need and
# this machine lacks. Quiet and quick when everything is already there.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  clang libclang-rt-14-dev clang-format
  qt6-base-dev
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  fonts-liberation2
  # the Python example client of the protocol reference, run by the tests
  python3
  # the desktop tests: an X server, a window manager, a notification area, clicks, captures,
  # xwininfo, and xrandr/xsetroot for the monitors and the desktop's colour
  xvfb openbox trayer xdotool imagemagick x11-utils x11-xserver-utils
)
# The Debian package: CPack's dependency list (dpkg-shlibdeps, file), its checks (lintian,
# desktop-file-validate).
packages+=(dpkg-dev file lintian desktop-file-utils)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]}; run this script as root" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
