#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Vendrix and starts the collector:
# with windows where a display exists, headless otherwise. Arguments go to
# the program (for example --headless).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
BUILD_DIR=${VENDRIX_BUILD_DIR:-build}
exec "$BUILD_DIR/bin/Vendrix" "$@"
