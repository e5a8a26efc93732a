#!/usr/bin/env bash
# Formats every C and C++ file of the tree with clang-format (.clang-format
# at the top holds the style). With --check it changes nothing and fails,
# naming each file, when a file is not formatted.
set -euo pipefail
cd "$(dirname "$0")/.."
CLANG_FORMAT=${CLANG_FORMAT:-clang-format}
if ! command -v "$CLANG_FORMAT" >/dev/null 2>&1; then
  echo "format: $CLANG_FORMAT not found (Debian package clang-format; scripts/setup.sh installs it)" >&2
  exit 2
fi
mapfile -d '' files < <(git ls-files -z -- '*.cpp' '*.h' '*.c')
case "${1:-}" in
  --check)
    # clang-format names each file that would change in an error line.
    out=$(printf '%s\0' "${files[@]}" | xargs -0 -n 50 -P "$(nproc)" "$CLANG_FORMAT" --dry-run -Werror 2>&1 || true)
    bad=$(grep -o -E '^[^: ]+:[0-9]+:[0-9]+: error' <<<"$out" | cut -d: -f1 | sort -u || true)
    if [ -n "$bad" ]; then
      echo "format: not formatted (run scripts/format.sh):" >&2
      sed 's/^/  /' <<<"$bad" >&2
      exit 1
    fi
    echo "format: ${#files[@]} files formatted"
    ;;
  "")
    printf '%s\0' "${files[@]}" | xargs -0 -n 50 -P "$(nproc)" "$CLANG_FORMAT" -i
    ;;
  *)
    echo "usage: scripts/format.sh [--check]" >&2
    exit 2
    ;;
esac
