#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, checks the house rules, builds Vendrix
# and runs every test; with VENDRIX_SANITIZE=1 once more in a build with the
# address and undefined-behaviour sanitizers.
#
#   VENDRIX_BUILD_DIR     the ordinary build folder (build)
#   VENDRIX_SANITIZE_DIR  the sanitizer build folder (build-sanitize)
#   VENDRIX_SANITIZE=1    adds the sanitizer build and its run (not yet on by
#                         default: the suite has not yet had a clean run there)
# Under CI (CI=true) warnings are errors.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/check-layers.sh
bash scripts/format.sh --check

# The tests are built even in a build folder that scripts/run.sh set up.
EXTRA=(-DVENDRIX_TESTS=ON)
if [ -n "${CI:-}" ]; then EXTRA+=(-DVENDRIX_WERROR=ON); fi

BUILD_DIR=${VENDRIX_BUILD_DIR:-build}
VENDRIX_BUILD_DIR=$BUILD_DIR bash scripts/build.sh "${EXTRA[@]}"
(cd "$BUILD_DIR" && ctest --output-on-failure --no-tests=error -j"$(nproc)" --timeout 900)

if [ "${VENDRIX_SANITIZE:-0}" != 0 ]; then
  # The unit and end-to-end tests again, program included, with every memory
  # error and undefined behaviour fatal. The package checks and the
  # benchmarks add nothing there. Leaks are not checked: Qt and the system
  # libraries keep allocations for the process's life by design.
  SAN_DIR=${VENDRIX_SANITIZE_DIR:-build-sanitize}
  VENDRIX_BUILD_DIR=$SAN_DIR bash scripts/build.sh "${EXTRA[@]}" -DVENDRIX_SANITIZE=ON -DVENDRIX_BENCH=OFF
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  (cd "$SAN_DIR" && ctest --output-on-failure -j"$(nproc)" --timeout 900 -E '^package_')
fi
