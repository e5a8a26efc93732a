#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, checks the house rules, builds Vendrix
# and runs every test; then builds the unit tests again with the address and
# undefined-behaviour sanitizers and runs them there too.
#
#   VENDRIX_BUILD_DIR     the ordinary build folder (build)
#   VENDRIX_SANITIZE_DIR  the sanitizer build folder (build-sanitize)
#   VENDRIX_SANITIZE=0    leaves the sanitizer build and its run out
#   VENDRIX_SANITIZE_TESTS the test programs built and run there (names
#                         separated by blanks; "all" for every one)
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

if [ "${VENDRIX_SANITIZE:-1}" != 0 ]; then
  # The unit tests and the fuzz replays again, program included, with every
  # memory error and undefined behaviour fatal. The end-to-end, window and
  # settings-transfer tests are left out here: built with the sanitizers
  # they cost more compile time than CI has (CONTRIBUTING.md). The package
  # check adds nothing here. Leaks are not checked: Qt and the system
  # libraries keep allocations for the process's life by design.
  SAN_DIR=${VENDRIX_SANITIZE_DIR:-build-sanitize}
  SAN_TESTS=${VENDRIX_SANITIZE_TESTS:-foundation_tests store_tests erp_tests postgres_tests transport_tests
    collector_tests transfer_tests simterm_tests fuzz_settings_file fuzz_profile_reader fuzz_reception
    fuzz_exchange_reader}
  if [ "$SAN_TESTS" = all ]; then
    targets=""
    select=(-LE '^package$')
  else
    targets=$SAN_TESTS
    select=(-R "^($(tr -s ' \n' '|' <<<"$SAN_TESTS" | sed 's/|$//'))\$")
  fi
  # Set before the build too: the build runs the program to draw the
  # manual's pictures.
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  VENDRIX_BUILD_DIR=$SAN_DIR VENDRIX_BUILD_TARGETS="$targets" bash scripts/build.sh "${EXTRA[@]}" \
    -DVENDRIX_SANITIZE=ON -DVENDRIX_BENCH=OFF
  (cd "$SAN_DIR" && ctest --output-on-failure --no-tests=error -j"$(nproc)" --timeout 900 "${select[@]}")
fi
