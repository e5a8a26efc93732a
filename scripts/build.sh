#!/usr/bin/env bash
# Configures and builds Vendrix into build/ (program folder: build/bin).
# Extra arguments go to CMake's configure step. VENDRIX_BUILD_TARGETS (names
# separated by blanks) builds only those targets instead of everything.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${VENDRIX_BUILD_DIR:-build}
GEN=()
if command -v ninja >/dev/null 2>&1; then GEN=(-G Ninja); fi
# A compiler cache makes rebuilds in other build folders cheap.
if command -v ccache >/dev/null 2>&1; then
  GEN+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD_DIR" "${GEN[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
elif [ "$#" -gt 0 ]; then
  cmake -S . -B "$BUILD_DIR" "$@"
fi
TARGETS=()
for t in ${VENDRIX_BUILD_TARGETS:-}; do TARGETS+=(--target "$t"); done
cmake --build "$BUILD_DIR" -j"$(nproc)" "${TARGETS[@]}"
