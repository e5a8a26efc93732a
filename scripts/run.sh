#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine with what building and running need
# (scripts/setup.sh --run), builds Vendrix and starts the collector: with
# windows where a display exists, headless otherwise. Arguments go to the
# program (for example --headless). A build folder made here holds no tests;
# scripts/test.sh adds them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --run
BUILD_DIR=${VENDRIX_BUILD_DIR:-build}
CONFIGURE=()
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then CONFIGURE=(-DVENDRIX_TESTS=OFF -DVENDRIX_BENCH=OFF); fi
VENDRIX_BUILD_TARGETS=vx_program_folder bash scripts/build.sh "${CONFIGURE[@]}"
exec "$BUILD_DIR/bin/Vendrix" "$@"
