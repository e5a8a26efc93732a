#!/bin/sh
# Makes a demo ERP database (SQLite) for the inventory bridge.
#
#   make-demo-erp.sh [--empty] OUTPUT.db
#
# OUTPUT.db gets the tables pet, per, art, lis and the query
# qryinputArticoliCPT, with five demo articles (--empty: none). An existing
# file is never overwritten. Needs the sqlite3 tool.
set -eu

usage() {
    echo "usage: $0 [--empty] OUTPUT.db" >&2
    exit 2
}

empty=0
if [ "${1:-}" = "--empty" ]; then
    empty=1
    shift
fi
[ $# -eq 1 ] || usage
out=$1
[ -n "$out" ] || usage

here=$(cd "$(dirname "$0")" && pwd)
if ! command -v sqlite3 >/dev/null 2>&1; then
    echo "$0: the sqlite3 tool is missing (Debian package sqlite3)" >&2
    exit 1
fi
if [ -e "$out" ]; then
    echo "$0: $out already exists; not overwritten" >&2
    exit 1
fi

# Built under a temporary name and moved into place, so a failure never
# leaves a half-made database under the real name.
tmp="$out.tmp.$$"
trap 'rm -f "$tmp"' EXIT
sqlite3 -bail "$tmp" < "$here/demo-erp.sql"
if [ "$empty" -eq 1 ]; then
    sqlite3 -bail "$tmp" "DELETE FROM lis; DELETE FROM art;"
fi
mv "$tmp" "$out"
trap - EXIT
echo "demo ERP database: $out"
