#!/usr/bin/env bash
# Installs every build, run and test dependency of Vendrix from Debian packages
# (dpkg-dev, file: the Debian package's dependencies; desktop-file-utils,
# systemd, lintian: checks of the desktop entry, the units and the package;
# clang-format: the style check).
# Safe to run again: apt-get skips what is already there.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
PKGS=(
  build-essential cmake ninja-build pkg-config ccache
  qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite qt6-serialport-dev libqt6serialport6
  qt6-qpa-plugins libgl-dev
  libshp-dev zlib1g-dev
  libpq-dev libsqlite3-dev postgresql
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  socat sqlite3 python3 python3-dbf gdal-bin
  xvfb xauth imagemagick procps
  dpkg-dev file desktop-file-utils systemd lintian
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
