#!/usr/bin/env bash
# Installs the Debian packages that Vendrix needs, by what is done with it:
#
#   setup.sh --run       building and running the program (scripts/run.sh)
#   setup.sh --package   that, and what makes and checks the Debian package
#                        (dpkg-dev, file: its dependencies; lintian)
#   setup.sh [--test]    that, and everything the tests and the CI checks use
#                        (the default; scripts/test.sh, .ci/run, coverage.sh)
#   setup.sh --list SET  prints the packages of a set (run, package, test)
#
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

# Building and running: the compiler and CMake, Qt 6 with its SQLite driver,
# serial port and platform plugins, shapelib (dBase), zlib (CRC-32), libpq
# (PostgreSQL targets), SQLite, libsystemd (readiness and watchdog
# notifications to systemd).
RUN_PKGS=(
  build-essential cmake ninja-build pkg-config ccache
  qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite qt6-serialport-dev libqt6serialport6
  qt6-qpa-plugins libgl-dev
  libshp-dev zlib1g-dev
  libpq-dev libsqlite3-dev libsystemd-dev
)
# The Debian package: its dependencies worked out from the binaries, and lintian.
PACKAGE_PKGS=(dpkg-dev file lintian)
# The tests and CI: GoogleTest, Google Benchmark, a PostgreSQL server started
# by the tests, clang with the fuzzer runtime, the style check, pseudo
# terminals, independent readers of SQLite and dBase files, a virtual display
# and screenshots, and the checks of the desktop entry and the units.
TEST_PKGS=(
  postgresql
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev clang-format
  socat sqlite3 python3 python3-dbf gdal-bin
  xvfb xauth imagemagick procps
  desktop-file-utils systemd
)

set_of() {
  case "$1" in
    run) echo "${RUN_PKGS[@]}" ;;
    package) echo "${RUN_PKGS[@]}" "${PACKAGE_PKGS[@]}" ;;
    test) echo "${RUN_PKGS[@]}" "${PACKAGE_PKGS[@]}" "${TEST_PKGS[@]}" ;;
    *) echo "setup.sh: no set '$1' (run, package, test)" >&2; exit 2 ;;
  esac
}

set_name=test
case "${1:-}" in
  "" | --test) ;;
  --run) set_name=run ;;
  --package) set_name=package ;;
  --list) set_of "${2:-test}" | tr ' ' '\n'; exit 0 ;;
  -h | --help) sed -n '2,11p' "$0"; exit 0 ;;
  *) echo "setup.sh: unknown option $1" >&2; sed -n '2,11p' "$0" >&2; exit 2 ;;
esac
read -r -a PKGS <<<"$(set_of "$set_name")"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
