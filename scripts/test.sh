#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, checks the house rules, builds Vendrix
# and runs every test; then builds every test again with the address and
# undefined-behaviour sanitizers and runs them there too. The sanitizer
# build runs while the ordinary tests do (they mostly wait on sockets,
# timers and child processes), so both cores stay busy.
#
#   VENDRIX_BUILD_DIR     the ordinary build folder (build)
#   VENDRIX_SANITIZE_DIR  the sanitizer build folder (build-sanitize)
#   VENDRIX_SANITIZE=0    leaves the sanitizer build and its run out
#   VENDRIX_SANITIZE_TESTS the test programs built and run there (names
#                         separated by blanks); every test but the package
#                         check when unset or "all"
# Under CI (CI=true) warnings are errors, and both folders are built the
# cheaper way a build that is made once and run once allows (below).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/check-layers.sh
bash scripts/format.sh --check

# The tests are built even in a build folder that scripts/run.sh set up.
EXTRA=(-DVENDRIX_TESTS=ON)
if [ -n "${CI:-}" ]; then
  # Line tables only (-g1): a failure's stack trace still names file and
  # line, at a third of the cost of full debug information. The tests' own
  # code is not optimised (the program and libraries it tests are), and
  # gold links faster than the default linker.
  EXTRA+=(-DVENDRIX_WERROR=ON -DVENDRIX_LINKER=gold
    "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
    "-DVENDRIX_TEST_COMPILE_OPTIONS=-O0;-U_FORTIFY_SOURCE")
fi

BUILD_DIR=${VENDRIX_BUILD_DIR:-build}
VENDRIX_BUILD_DIR=$BUILD_DIR bash scripts/build.sh "${EXTRA[@]}"

SANITIZE=${VENDRIX_SANITIZE:-1}
if [ "$SANITIZE" != 0 ]; then
  # Every test, the end-to-end ones included, with every memory error and
  # undefined behaviour fatal. The package check adds nothing here. Leaks
  # are not checked: Qt and the system libraries keep allocations for the
  # process's life by design. -O1 with line tables keeps the instrumented
  # build at about a third of the CPU time of -O2 -g, the tests' own code
  # at -O0 (it is light at run time and heavy to compile).
  SAN_DIR=${VENDRIX_SANITIZE_DIR:-build-sanitize}
  SAN_TESTS=${VENDRIX_SANITIZE_TESTS:-all}
  if [ "$SAN_TESTS" = all ]; then
    targets=""
    select=(-LE '^package$')
  else
    targets=$SAN_TESTS
    select=(-R "^($(tr -s ' \n' '|' <<<"$SAN_TESTS" | sed 's/|$//'))\$")
  fi
  SAN_EXTRA=("${EXTRA[@]}" -DVENDRIX_SANITIZE=ON -DVENDRIX_BENCH=OFF
    "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
    -DVENDRIX_TEST_COMPILE_OPTIONS=-O0)
  # For the build too: it runs the program to draw the manual's pictures.
  SAN_ENV=(ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1)
  # Built at a lower priority beside the ordinary tests, so their waits
  # are not stretched by the compiler; its output is shown after theirs.
  mkdir -p "$SAN_DIR"
  SAN_LOG=$SAN_DIR/build.log
  (export "${SAN_ENV[@]}" VENDRIX_BUILD_DIR="$SAN_DIR" VENDRIX_BUILD_TARGETS="$targets" &&
    nice -n 10 bash scripts/build.sh "${SAN_EXTRA[@]}") >"$SAN_LOG" 2>&1 &
  san_build=$!
fi

failed=0
(cd "$BUILD_DIR" && ctest --output-on-failure --no-tests=error -j"$(nproc)" --timeout 900) || failed=1

if [ "$SANITIZE" != 0 ]; then
  san_status=0
  wait "$san_build" || san_status=$?
  echo "--- sanitizer build ($SAN_LOG) ---"
  if [ "$san_status" != 0 ]; then
    cat "$SAN_LOG"
    echo "the sanitizer build failed" >&2
    exit 1
  fi
  tail -n 5 "$SAN_LOG"
  (cd "$SAN_DIR" && export "${SAN_ENV[@]}" && ctest --output-on-failure --no-tests=error -j"$(nproc)" --timeout 900 "${select[@]}") || failed=1
fi
exit "$failed"
