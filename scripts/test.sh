#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Vendrix and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/check-layers.sh
bash scripts/build.sh
BUILD_DIR=${VENDRIX_BUILD_DIR:-build}
cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)" --timeout 900
