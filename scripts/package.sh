#!/usr/bin/env bash
# Builds the Debian package vendrix_<version>_<arch>.deb: sets up the machine
# (scripts/setup.sh --package), builds what ships into build/ (or $VENDRIX_BUILD_DIR;
# the tests are not needed for it), and packs it with CPack. The package
# lands in the build folder, or in $VENDRIX_PACKAGE_DIR when set. Install
# it with
#   sudo apt install ./vendrix_<version>_<arch>.deb
# --lint also runs lintian on it and fails on any error or warning.
set -euo pipefail
cd "$(dirname "$0")/.."
lint=0
for arg in "$@"; do
  case "$arg" in
    --lint) lint=1 ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) echo "package.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done
bash scripts/setup.sh --package
CONFIGURE=()
if [ ! -f "${VENDRIX_BUILD_DIR:-build}/CMakeCache.txt" ]; then CONFIGURE=(-DVENDRIX_TESTS=OFF -DVENDRIX_BENCH=OFF); fi
VENDRIX_BUILD_TARGETS=vx_ship bash scripts/build.sh "${CONFIGURE[@]}"
BUILD_DIR=$(cd "${VENDRIX_BUILD_DIR:-build}" && pwd)
OUT_DIR=${VENDRIX_PACKAGE_DIR:-$BUILD_DIR}
mkdir -p "$OUT_DIR"
OUT_DIR=$(cd "$OUT_DIR" && pwd)
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$BUILD_DIR/CPackConfig.cmake")
deb="$OUT_DIR/vendrix_${version}_$(dpkg --print-architecture).deb"
rm -f "$deb"
cpack --config "$BUILD_DIR/CPackConfig.cmake" -B "$OUT_DIR"
[ -f "$deb" ] || { echo "package.sh: cpack made no $deb" >&2; exit 1; }
echo "package.sh: $deb"
if [ "$lint" = 1 ]; then
  # Errors fail the build; each warning the package keeps is overridden,
  # with its reason, in packaging/lintian-overrides.
  lintian --info --fail-on error,warning "$deb"
  echo "package.sh: lintian found no errors and no warnings"
fi
