#!/usr/bin/env bash
# Line coverage of the program code (everything but tests/ and bench/) over
# the whole CTest run: builds with gcov instrumentation into build-coverage/
# (or $VENDRIX_COVERAGE_DIR), runs every test, and prints gcovr's summary.
# The HTML report goes to <build>/coverage/index.html.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
command -v gcovr >/dev/null 2>&1 || {
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get install -y -qq --no-install-recommends gcovr
}
BUILD_DIR=${VENDRIX_COVERAGE_DIR:-build-coverage}
VENDRIX_BUILD_DIR=$BUILD_DIR bash scripts/build.sh -DCMAKE_BUILD_TYPE=Debug -DVENDRIX_BENCH=OFF \
  "-DCMAKE_C_FLAGS=--coverage" "-DCMAKE_CXX_FLAGS=--coverage" \
  "-DCMAKE_EXE_LINKER_FLAGS=--coverage" "-DCMAKE_SHARED_LINKER_FLAGS=--coverage"
find "$BUILD_DIR" -name '*.gcda' -delete
(cd "$BUILD_DIR" && ctest -j"$(nproc)" --timeout 900 --output-on-failure) || echo "coverage: some tests failed; the figures cover what ran" >&2
mkdir -p "$BUILD_DIR/coverage"
gcovr --root . --object-directory "$BUILD_DIR" \
  --exclude 'tests/' --exclude 'bench/' --exclude '.*_autogen/' --exclude "$BUILD_DIR/" \
  --gcov-ignore-parse-errors -j 2 \
  --print-summary --html-details "$BUILD_DIR/coverage/index.html" -s 2>&1 | tail -n 4
